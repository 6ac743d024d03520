// The card image library (images/) as the tool names it: its types and functions are the
// tool's own (tool::CardImage, tool::read_image, tool::CardDump...).
#pragma once

#include "card_dump.h"
#include "image_formats.h"
#include "tool_json.h"

namespace tqrf::tool {
using namespace tqrf::image;
}  // namespace tqrf::tool
