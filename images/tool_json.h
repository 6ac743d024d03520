// The tqrf tool's own JSON dump (.json), which marks each block read or not read and each key
// known or not and is also what `tqrf --json dump` prints, and the bridges between a card dump
// and an image.
#pragma once

#include <nlohmann/json.hpp>

#include "card_dump.h"
#include "image_formats.h"

namespace tqrf::image {

// The JSON dump of a card.
nlohmann::json dump_document(const CardDump& dump);

// A card dump as an image, and an image as the dump that would have given it (blocks not read
// say "not in the image").
CardImage card_image_of(const CardDump& dump);
CardDump card_dump_of(const CardImage& image);

}  // namespace tqrf::image
