// Option wiring helpers: numbers that are decimal or 0x hex (never octal), and the key options
// of the card commands.
#pragma once

#include <CLI/CLI.hpp>
#include <string>
#include <vector>

#include "support.h"

namespace tqrf::tool {

// Adds an option or (for a name without dashes) a positional that takes a decimal or 0x hex
// number within [min, max]; anything else is a usage error that names the option.
CLI::Option* add_number(CLI::App* app, const std::string& name, long long& target, long long min,
                        long long max, const std::string& description);

// The keys a card command tries.
struct KeyOptions {
    std::vector<std::string> keys;       // --key, repeatable
    std::vector<std::string> key_files;  // --keys, repeatable
    bool key_b = false;                  // --key-b
    bool no_default_keys = false;        // --no-default-keys

    void add_to(CLI::App* cmd);

    // The candidates in order: the --key keys; else the factory key (unless
    // --no-default-keys); then the keys of the --keys files. Duplicates are dropped. Throws a
    // usage error for a malformed key, an unreadable or malformed key file, or no key at all.
    std::vector<Key> candidates() const;
};

}  // namespace tqrf::tool
