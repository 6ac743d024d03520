#include "options.h"

#include <algorithm>

#include "errors.h"
#include "files.h"

namespace tqrf::tool {

namespace {

// A key file larger than this is not a key file.
constexpr std::size_t kKeyFileMax = 1 << 20;

void add_unique(std::vector<Key>& out, const Key& k) {
    if (std::find(out.begin(), out.end(), k) == out.end()) out.push_back(k);
}

}  // namespace

CLI::Option* add_number(CLI::App* app, const std::string& name, long long& target, long long min,
                        long long max, const std::string& description) {
    const std::string shown = name;
    auto* opt = app->add_option_function<std::string>(
        name,
        [&target, min, max, shown](const std::string& text) {
            const auto v = parse_signed(text, min, max);
            if (!v) {
                throw CLI::ValidationError(
                    shown, "\"" + text + "\" is not a number from " + std::to_string(min) + " to " +
                               std::to_string(max) + " (decimal, or hex with 0x)");
            }
            target = *v;
        },
        description);
    opt->type_name("NUMBER");
    return opt;
}

void KeyOptions::add_to(CLI::App* cmd) {
    cmd->add_option("--key", keys,
                    "Key as 12 hex digits (repeatable); replaces the factory key FFFFFFFFFFFF")
        ->allow_extra_args(false);
    cmd->add_flag("--key-b", key_b, "Authenticate with key B only (otherwise A, then B)");
    cmd->add_option("--keys", key_files,
                    "Key dictionary: one 12-hex-digit key per line, # comments; its keys are "
                    "tried after the factory key (repeatable)")
        ->allow_extra_args(false);
    cmd->add_flag("--no-default-keys", no_default_keys, "Do not try the factory key FFFFFFFFFFFF");
}

std::vector<Key> KeyOptions::candidates() const {
    std::vector<Key> out;
    for (const auto& text : keys) {
        auto k = Key::from_hex(text);
        if (!k) throw usage_error("--key must be 12 hex digits, not \"" + text + "\"");
        add_unique(out, *k);
    }
    if (keys.empty() && !no_default_keys) add_unique(out, kDefaultKey);
    for (const auto& file : key_files) {
        const std::string text = read_input_file(file, "key file", kKeyFileMax);
        std::string error;
        auto list = parse_key_list(text, error);
        if (!list) throw usage_error("key file " + file + ", " + error);
        if (list->empty()) throw usage_error("key file " + file + " holds no key");
        for (const auto& k : *list) add_unique(out, k);
    }
    if (out.empty()) {
        throw usage_error("no key to try: --no-default-keys needs --key or --keys");
    }
    return out;
}

}  // namespace tqrf::tool
