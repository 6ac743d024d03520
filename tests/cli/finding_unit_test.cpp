// Doctor's judgement of who may open a device: the group to join is named only when that group
// owns the device and may read and write it.
#include <gtest/gtest.h>

#include "finding.h"

namespace {

using tqrf::tool::judge_access;
using tqrf::tool::device::Access;

Access device(const char* mode, const char* group, bool may_open, bool in_group,
              bool in_group_now) {
    Access a;
    a.checked = true;
    a.exists = true;
    a.character_device = true;
    a.resolved = "/dev/ttyUSB0";
    a.mode = mode;
    a.owner = "root";
    a.group = group;
    a.group_read_write = mode[4] == 'r' && mode[5] == 'w';
    a.may_open = may_open;
    a.in_group = in_group;
    a.in_group_now = in_group_now;
    return a;
}

TEST(JudgeAccess, NamesTheGroupOnlyWhenItOwnsTheDevice) {
    struct Case {
        const char* name;
        Access access;
        bool ok;
        const char* remedy_has;  // "" when there is no remedy
        const char* remedy_lacks;
    };
    const Case cases[] = {
        {"may open", device("crw-rw----", "dialout", true, true, true), true, "", ""},
        {"not in the group", device("crw-rw----", "dialout", false, false, false), false,
         "sudo usermod -aG dialout alice", "newgrp"},
        {"another group owns it", device("crw-rw----", "uucp", false, false, false), false,
         "sudo usermod -aG uucp alice", "dialout"},
        {"joined, session older", device("crw-rw----", "dialout", false, true, false), false,
         "log out and in again (or run: newgrp dialout)", "usermod"},
        {"in the group and refused", device("crw-rw----", "dialout", false, true, true), false,
         "getfacl /dev/ttyUSB0", "usermod"},
        {"the group may not write", device("crw-r-----", "dialout", false, false, false), false,
         "udev rule", "usermod"},
        {"root's own group", device("crw-rw----", "root", false, false, false), false, "udev rule",
         "usermod"},
    };
    for (const auto& c : cases) {
        const auto v = judge_access(c.access, "alice");
        EXPECT_EQ(v.ok, c.ok) << c.name;
        EXPECT_NE(v.finding.find(c.access.mode), std::string::npos) << c.name << v.finding;
        if (*c.remedy_has == '\0') {
            EXPECT_TRUE(v.remedy.empty()) << c.name << v.remedy;
        } else {
            EXPECT_NE(v.remedy.find(c.remedy_has), std::string::npos) << c.name << ": " << v.remedy;
        }
        if (*c.remedy_lacks != '\0') {
            EXPECT_EQ(v.remedy.find(c.remedy_lacks), std::string::npos)
                << c.name << ": " << v.remedy;
        }
    }
}

}  // namespace

// The words `tqrf ports` and `tqrf probe` print for the C values, and for values a newer library
// may add.
namespace {

TEST(FindingWords, EveryValue) {
    using namespace tqrf::tool;
    const struct {
        const char* (*word)(std::int32_t);
        std::int32_t value;
        const char* text;
    } cases[] = {
        {transport_word, TQRF_TRANSPORT_BUILTIN, "builtin"},
        {transport_word, TQRF_TRANSPORT_USB, "usb"},
        {transport_word, TQRF_TRANSPORT_BLUETOOTH, "bluetooth"},
        {transport_word, TQRF_TRANSPORT_OTHER, "other"},
        {transport_word, -1, "other"},
        {mark_space_word, TQRF_MARK_SPACE_YES, "yes"},
        {mark_space_word, TQRF_MARK_SPACE_NO, "no"},
        {mark_space_word, TQRF_MARK_SPACE_UNKNOWN, "unknown"},
        {mark_space_word, 2, "unknown"},
        {outcome_word, TQRF_PROBE_READER, "reader"},
        {outcome_word, TQRF_PROBE_ECHO, "echo"},
        {outcome_word, TQRF_PROBE_NOISE, "noise"},
        {outcome_word, TQRF_PROBE_SILENT, "silent"},
        {outcome_word, TQRF_PROBE_MISSING, "missing"},
        {outcome_word, TQRF_PROBE_NO_PERMISSION, "no_permission"},
        {outcome_word, TQRF_PROBE_BUSY, "busy"},
        {outcome_word, TQRF_PROBE_NOT_SERIAL, "not_serial"},
        {outcome_word, TQRF_PROBE_OPEN_FAILED, "open_failed"},
        {outcome_word, TQRF_PROBE_NO_MARK_SPACE, "no_mark_space"},
        {outcome_word, -1, "open_failed"},
    };
    for (const auto& c : cases) EXPECT_STREQ(c.word(c.value), c.text) << c.value;
}

}  // namespace
