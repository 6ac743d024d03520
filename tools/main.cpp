// tqrf: the command-line tool for the MF RC500 contactless reader/writer. This file wires the
// options to the commands (commands.h) and turns failures into messages and exit statuses.
//
// Exit status: 0 success; 1 the reader, the card or a file write failed (or the port did not
// open); 2 usage error or unreadable input file.
#include <cstring>
#include <iostream>
#include <string>
#include <vector>

#include "commands.h"
#include "platform.h"

namespace {

using namespace tqrf::tool;

#ifndef TQRF_TOOL_VERSION
#define TQRF_TOOL_VERSION "unknown"
#endif

std::string version_text() {
    return std::string("tqrf ") + TQRF_TOOL_VERSION + "\nlibrary tq_RWD_DLL " +
#if defined(TQRF_VERSION_STRING)
           tqrf_version();
#else
           TQRF_TOOL_VERSION;
#endif
}

bool wants_json(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--") == 0) break;
        if (std::strcmp(argv[i], "--json") == 0) return true;
    }
    return false;
}

// The deepest command given that needs a subcommand and got none, and the word it did not
// know: "unknown command 'bogus' for 'value'".
std::string unknown_command(CLI::App& app) {
    CLI::App* at = &app;
    for (;;) {
        CLI::App* next = nullptr;
        for (auto* sub : at->get_subcommands()) next = sub;
        if (next == nullptr) break;
        at = next;
    }
    auto rest = at->remaining();
    if (rest.empty()) rest = app.remaining(true);
    std::string names;
    for (const auto* sub : at->get_subcommands({})) {
        names += (names.empty() ? "" : ", ") + sub->get_name();
    }
    const std::string where = at == &app ? "" : " of '" + at->get_name() + "'";
    if (rest.empty()) return "a command is needed" + where + "; the commands are: " + names;
    return "unknown command '" + rest.front() + "'" + where + "; the commands are: " + names;
}

// A command that only groups others: one of them must follow it.
CLI::App* add_group(CLI::App& app, const std::string& name, const std::string& what) {
    CLI::App* group = app.add_subcommand(name, what);
    group->require_subcommand(1);
    return group;
}

}  // namespace

int main(int argc, char** argv) {
    // POSIX: a file-size limit makes writes fail with EFBIG instead of killing the tool, so
    // that the failure is reported and the old file is left as it was.
    platform::init_process();

    CLI::App app{
        "tqrf: read, write, dump and restore Mifare Classic 1K cards with the MF RC500 serial "
        "reader, watch for cards, and manage the reader."};
    app.require_subcommand(1);
    app.fallthrough();
    app.set_help_all_flag("--help-all", "Help for every command");
    app.set_version_flag("--version", version_text(), "The tool's and the library's version");

    Globals g;
    app.add_option("--port", g.ports, platform::port_help())->allow_extra_args(false);
    app.add_flag("--simulate", g.simulate,
                 "Use a simulated reader (in this process, on a pseudo-terminal) with a demo "
                 "card in its field");
    app.add_flag("--json", g.json, "Machine-readable output (JSON) on stdout");
    app.add_flag("--trace", g.trace,
                 "Show every frame on stderr: time, direction, bytes, parity; and each result. "
                 "The keys of load-key frames show as ** (see --trace-keys)");
    app.add_flag("--trace-keys", g.trace_keys,
                 "Like --trace, and show the keys of load-key frames too (keep such a trace "
                 "private: it gives the keys away)");
    std::string timing = "complete";
    app.add_option("--timing", timing,
                   "How replies are taken: complete (as soon as the frame is whole, the default) "
                   "or fixed (the legacy 40 ms pause)")
        ->check(CLI::IsMember({"complete", "fixed"}));
    long long slack = 0;
    add_number(&app, "--slack", slack, 0, 1000,
               "Extra milliseconds allowed for each reply (slow USB adapters), 0 to 1000");
    long long retries = 3;
    add_number(&app, "--retries", retries, 1, 10,
               "Attempts in all, 1 to 10 (default 3), for a card read or authentication whose "
               "reply was lost, late or garbled; a refusal is never repeated");

    ScanArgs scan_args;
    auto* scan = app.add_subcommand(
        "scan", "Card type, UID and size byte of the card in the field of each --port");
    scan->add_flag("--all", scan_args.all, "Wake halted cards too (WUPA instead of REQA)");

    auto* info = app.add_subcommand("info", "Reader hardware version, identity number, link test");

    ReadArgs read_args;
    auto* read = app.add_subcommand("read", "Read one block");
    add_number(read, "BLOCK", read_args.block, 0, 63, "Block number, 0 to 63")->required();
    read_args.keys.add_to(read);

    WriteArgs write_args;
    auto* write = app.add_subcommand("write", "Write one block");
    add_number(write, "BLOCK", write_args.block, 0, 63, "Block number, 1 to 63")->required();
    write->add_option("HEX32", write_args.hex,
                      "16 bytes as 32 hex digits (a trailer: or --access with --new-key-a and "
                      "--new-key-b)");
    write->add_option("--access", write_args.access,
                      "A trailer's conditions by name, repeatable: data:RIGHTS, 0:, 1:, 2:, "
                      "trailer:RIGHTS (see tqrf access encode --help)");
    write->add_option("--new-key-a", write_args.new_key_a, "Key A of the trailer --access builds");
    write->add_option("--new-key-b", write_args.new_key_b, "Key B of the trailer --access builds");
    write->add_option("--user-byte", write_args.user_byte,
                      "Byte 9 of the trailer --access builds (default 69)");
    write->add_flag("--force", write_args.force,
                    "Write block 0, or a trailer whose access bits could never be changed again");
    write_args.keys.add_to(write);

    DumpArgs dump_args;
    auto* dump = app.add_subcommand(
        "dump", "Read the whole card; table with decoded access rights; -o saves an image");
    dump->add_option("-o,--output", dump_args.output,
                     "Image file: .mfd or .bin (1024 bytes) or .json (the JSON dump, which marks "
                     "each block read or not)");
    dump->add_option("--format", dump_args.format,
                     "Format of the -o file when its name does not say: mfd, bin or json");
    dump->add_flag("--partial", dump_args.partial,
                   "Write a .mfd/.bin image even when sectors could not be read (they are zeros "
                   "there, and restore leaves them alone)");
    dump_args.keys.add_to(dump);

    RestoreArgs restore_args;
    auto* restore = app.add_subcommand(
        "restore",
        "Write an image back onto its card: the blocks the dump read, never block 0; trailers "
        "with --trailers");
    restore->add_option("FILE", restore_args.file, "A .mfd, .bin or .json image")->required();
    restore->add_option("--format", restore_args.format,
                        "Format of FILE when its name does not say: mfd, bin or json");
    restore->add_flag("--trailers", restore_args.trailers,
                      "Also write sector trailers (keys and access bits) whose keys are known");
    restore->add_flag("--force", restore_args.force,
                      "Restore another card's image, and accept trailers whose access bits "
                      "could never be changed again");
    restore->add_flag("--dry-run", restore_args.dry_run,
                      "List what would be written, and what the card would refuse, and write "
                      "nothing");
    restore->add_flag("--skip-refused", restore_args.skip_refused,
                      "Leave out the blocks the card's access conditions would refuse (without "
                      "it a restore with such blocks writes nothing)");
    restore->add_flag("--no-verify", restore_args.no_verify,
                      "Do not read each written block back to check it");
    restore_args.keys.add_to(restore);

    ImageShowArgs show_args;
    ImageConvertArgs convert_args;
    ImageDiffArgs diff_args;
    auto* image = add_group(app, "image",
                            "Image files without a reader: show, convert between formats, diff");
    auto* i_show = image->add_subcommand(
        "show", "UID, keys, access conditions, values and application directory of an image");
    i_show->add_option("FILE", show_args.file, "An image in any format")->required();
    i_show->add_option("--format", show_args.format,
                       "Format of FILE when neither its content nor its name tells");
    auto* i_convert = image->add_subcommand(
        "convert", "Write an image in another format: mfd, bin, eml, proxmark3, nfc, mct, json");
    i_convert->add_option("IN", convert_args.input, "An image in any format")->required();
    i_convert->add_option("OUT", convert_args.output, "The image to write")->required();
    i_convert->add_option("--format", convert_args.format,
                          "Format of OUT (default: from its extension; .json is tqrf's own "
                          "dump, --format proxmark3 the Proxmark3 JSON)");
    i_convert->add_option("--input-format", convert_args.input_format,
                          "Format of IN when neither its content nor its name tells");
    i_convert->add_flag("--partial", convert_args.partial,
                        "Write a format that cannot mark unread blocks (mfd, bin, eml, "
                        "proxmark3) even when sectors were not read whole: they become zeros");
    auto* i_diff = image->add_subcommand(
        "diff", "The blocks in which two images differ, side by side (exit 1 when they differ)");
    i_diff->add_option("A", diff_args.first, "An image in any format")->required();
    i_diff->add_option("B", diff_args.second, "An image in any format")->required();

    AccessDecodeArgs decode_args;
    AccessEncodeArgs encode_args;
    auto* access =
        add_group(app, "access", "A sector trailer's access conditions by name, without a reader");
    auto* a_decode = access->add_subcommand(
        "decode", "Who may read, write, increment, decrement each block, from the access bytes");
    a_decode
        ->add_option("HEX", decode_args.hex,
                     "Access bytes 6 to 8 (6 hex digits; 8 with the user byte) or a whole "
                     "trailer (32 hex digits)")
        ->required();
    auto* a_encode = access->add_subcommand(
        "encode",
        "The access bytes (and with keys the trailer) for named conditions. RIGHTS: name=WHO "
        "words, WHO being A, B, AB or -, a right not named being nobody's; data blocks: read, "
        "write, inc, dec (decrement, transfer, restore); trailer: keya-write, bits-read, "
        "bits-write, keyb-read, keyb-write; or the condition bits C1C2C3 such as 100");
    a_encode
        ->add_option("--access", encode_args.items,
                     "WHICH:RIGHTS, repeatable; WHICH: data (blocks 0 to 2), 0, 1, 2, trailer")
        ->required();
    a_encode->add_option("--user-byte", encode_args.user_byte, "Byte 9 (default 69)");
    a_encode->add_option("--key-a", encode_args.key_a, "Key A: print the whole trailer");
    a_encode->add_option("--key-b", encode_args.key_b, "Key B: print the whole trailer");
    a_encode->add_flag("--force", encode_args.force,
                       "Accept access bits that no key could change again");

    ValueArgs value_args;
    auto* value = add_group(app, "value", "Value blocks: get, init, inc, dec, copy");
    value_args.keys.add_to(value);
    auto* v_get = value->add_subcommand("get", "Read the value of a value block");
    add_number(v_get, "BLOCK", value_args.block, 1, 62, "Block number")->required();
    auto* v_init = value->add_subcommand("init", "Make a block a value block holding AMOUNT");
    add_number(v_init, "BLOCK", value_args.block, 1, 62, "Block number")->required();
    add_number(v_init, "AMOUNT", value_args.amount, -2147483648LL, 2147483647LL,
               "Signed 32-bit value")
        ->required();
    auto* v_inc = value->add_subcommand("inc", "Add AMOUNT to a value block (then transfer)");
    add_number(v_inc, "BLOCK", value_args.block, 1, 62, "Block number")->required();
    add_number(v_inc, "AMOUNT", value_args.amount, 0, 2147483647LL, "0 to 2147483647")->required();
    v_inc->add_flag("--allow-wrap", value_args.allow_wrap,
                    "Let a result past 2147483647 wrap around to a negative value");
    auto* v_dec =
        value->add_subcommand("dec", "Subtract AMOUNT from a value block (then transfer)");
    add_number(v_dec, "BLOCK", value_args.block, 1, 62, "Block number")->required();
    add_number(v_dec, "AMOUNT", value_args.amount, 0, 2147483647LL, "0 to 2147483647")->required();
    v_dec->add_flag("--allow-negative", value_args.allow_negative, "Let the value go below zero");
    v_dec->add_flag("--allow-wrap", value_args.allow_wrap,
                    "Let a result below -2147483648 wrap around to a positive value");
    auto* v_copy = value->add_subcommand("copy", "Copy a value block to TO_BLOCK in its sector");
    add_number(v_copy, "BLOCK", value_args.block, 1, 62, "Source block")->required();
    add_number(v_copy, "TO_BLOCK", value_args.to_block, 1, 62, "Target block, same sector")
        ->required();

    BeepArgs beep_args;
    auto* beep = app.add_subcommand("beep", "Sound the reader's beeper");
    add_number(beep, "DURATION", beep_args.ms, 0, 2400,
               "Milliseconds, 0 to 2400, in steps of 10 (default 100)");

    ClockArgs clock_args;
    auto* clock = app.add_subcommand("clock", "Read or set the reader's real-time clock");
    clock->add_option("--layout", clock_args.layout,
                      "raw: the reader's own clock bytes as hex (the default for a real reader); "
                      "sim: the simulator's layout, as a date (the default with --simulate)");
    clock->add_subcommand("get", "Read the clock (the default)");
    auto* clock_set = clock->add_subcommand("set", "Set the clock");
    clock_set->add_option("TIME", clock_args.value,
                          "14 hex digits (the 7 clock bytes); with the simulator's layout also "
                          "YYYY-MM-DDTHH:MM:SS or now (the default)");

    E2Args e2_args;
    auto* e2 = add_group(app, "e2", "The RC500 chip's E2PROM (its configuration memory)");
    auto* e2_read = e2->add_subcommand("read", "Read from ADDR on (16 bytes on most readers)");
    add_number(e2_read, "ADDR", e2_args.address, 0, 255, "Byte address, 0 to 255")->required();
    auto* e2_write = e2->add_subcommand("write", "Write 16 bytes at ADDR (needs --force)");
    add_number(e2_write, "ADDR", e2_args.address, 0, 127, "Byte address, 0 to 127")->required();
    e2_write->add_option("HEX32", e2_args.hex, "16 bytes as 32 hex digits")->required();
    e2_write->add_flag("--force", e2_args.force,
                       "Really write: the E2PROM holds the reader's configuration");

    WatchArgs watch_args;
    long long watch_block = -1;
    auto* watch = app.add_subcommand(
        "watch",
        "Wait for cards: one line per card that arrives and per card that leaves, on every "
        "--port, until Ctrl-C (SIGINT) or SIGTERM");
    add_number(watch, "--interval", watch_args.interval_ms, 10, 60000,
               "Milliseconds between polls, 10 to 60000 (default 300)");
    add_number(watch, "--read", watch_block, 0, 63, "Read this block of each card that arrives");
    watch->add_option("--key", watch_args.key, "Key for --read, 12 hex digits (default factory)");
    watch->add_flag("--key-b", watch_args.key_b, "Use the key as key B");

    const auto run_finding = add_finding_commands(app);

    const bool json = wants_json(argc, argv);
    auto fail = [&](const CommandError& e, Printer* printer) {
        std::cerr << "tqrf: " << e.what() << '\n';
        if (json) {
            if (printer != nullptr) {
                printer->fail(e);
            } else {
                std::cout << json_error_text(e) << std::flush;
            }
        }
        return e.status();
    };

    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp& e) {
        return app.exit(e);
    } catch (const CLI::CallForAllHelp& e) {
        return app.exit(e);
    } catch (const CLI::CallForVersion& e) {
        return app.exit(e);
    } catch (const CLI::RequiredError& e) {
        const std::string what = e.what();
        if (what.find("subcommand") != std::string::npos) {
            return fail(usage_error(unknown_command(app) + " (tqrf --help lists them)"), nullptr);
        }
        return fail(usage_error(what + " (see tqrf " +
                                (app.get_subcommands().empty()
                                     ? std::string("--help")
                                     : app.get_subcommands().back()->get_name() + " --help") +
                                ")"),
                    nullptr);
    } catch (const CLI::ParseError& e) {
        return fail(usage_error(e.what()), nullptr);
    }

    g.timing = timing == "fixed" ? tqrf::ReplyMode::Fixed : tqrf::ReplyMode::Complete;
    g.slack_ms = static_cast<unsigned>(slack);
    g.retries = static_cast<int>(retries);
    auto printer = g.json ? make_json_printer() : make_text_printer();
    try {
        if (const auto status = run_finding(g)) {
            printer->finish();
            return *status;
        }
        if (*scan) run_scan(g, *printer, scan_args);
        if (*info) run_info(g, *printer);
        if (*read) run_read(g, *printer, read_args);
        if (*write) run_write(g, *printer, write_args);
        if (*dump) run_dump(g, *printer, dump_args);
        if (*restore) run_restore(g, *printer, restore_args);
        if (*image) {
            if (*i_show) run_image_show(g, show_args);
            if (*i_convert) run_image_convert(g, convert_args);
            if (*i_diff && !run_image_diff(g, diff_args)) {
                printer->finish();
                return kExitFailed;
            }
        }
        if (*access) {
            if (*a_decode) run_access_decode(g, decode_args);
            if (*a_encode) run_access_encode(g, encode_args);
        }
        if (*value) {
            if (*v_get) value_args.operation = "get";
            if (*v_init) value_args.operation = "init";
            if (*v_inc) value_args.operation = "inc";
            if (*v_dec) value_args.operation = "dec";
            if (*v_copy) value_args.operation = "copy";
            if (value_args.operation != "copy") value_args.to_block = -1;
            run_value(g, *printer, value_args);
        }
        if (*beep) run_beep(g, *printer, beep_args);
        if (*clock) {
            clock_args.set = clock_set->parsed();
            run_clock(g, *printer, clock_args);
        }
        if (*e2) {
            e2_args.write = e2_write->parsed();
            run_e2(g, *printer, e2_args);
        }
        if (*watch) {
            if (watch_block >= 0) watch_args.block = watch_block;
            run_watch(g, *printer, watch_args);
        }
    } catch (const CommandError& e) {
        return fail(e, printer.get());
    } catch (const std::exception& e) {
        return fail(CommandError("failed", e.what()), printer.get());
    }
    printer->finish();
    return kExitOk;
}
