// Access conditions by name on the command line: `--access data:read=AB,write=B --access
// trailer:keya-write=B,bits-read=AB,bits-write=B,keyb-write=B` (see
// mifare::parse_access_rights for the names), checked before anything is written. The rules
// are the image library's (tq_RWD_DLL_image.hpp); here they speak in the tool's options.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "tq_RWD_DLL_mifare.hpp"

namespace tqrf::tool {

// The conditions of a sector from `--access WHICH:RIGHTS` items. WHICH is 0, 1 or 2 (a data
// block of the sector), data (all three), 3 or trailer; RIGHTS are names ("read=AB,write=B")
// or the condition bits C1C2C3 ("100"). Every block must be given. Throws a usage error that
// names the item for anything else.
mifare::AccessConditions parse_access_items(const std::vector<std::string>& items);

// Why conditions must not be written, or nullopt: rights of key B under a trailer condition
// that makes key B readable (it cannot open the sector then), or access bits that no key could
// change again (unless `force`).
std::optional<std::string> access_problem(const mifare::AccessConditions& ac, bool force);

// What the conditions say for people: one line a block, and the notes (key B readable,
// permanent).
std::vector<std::string> describe_access(const mifare::AccessConditions& ac);

}  // namespace tqrf::tool
