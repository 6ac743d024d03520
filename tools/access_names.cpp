#include "access_names.h"

#include "errors.h"
#include "tq_RWD_DLL_image.hpp"

namespace tqrf::tool {

mifare::AccessConditions parse_access_items(const std::vector<std::string>& items) {
    std::string item, error;
    const auto ac = image::parse_access_items(items, item, error);
    if (!ac) {
        throw usage_error(item.empty() ? "--access gives " + error
                                       : "--access " + item + ": " + error);
    }
    return *ac;
}

std::optional<std::string> access_problem(const mifare::AccessConditions& ac, bool force) {
    const auto problem = image::access_problem(ac, force);
    if (!problem) return std::nullopt;
    return problem->permanent ? problem->text + " (--force accepts that)" : problem->text;
}

std::vector<std::string> describe_access(const mifare::AccessConditions& ac) {
    return image::describe_access(ac);
}

}  // namespace tqrf::tool
