#include "diagnostics/dpf.h"
#include "platform/errors.h"
#include "tests/support/support.h"

namespace {

using namespace cab::test;

// The base name after the last '/' or '\'; '%' signs are text; over 255 characters are cut.
TEST(Dpf, LocationReadsAsGiven) {
    const std::string function(300, 'f');
    const struct {
        const char *file, *function;
        int line;
        std::string want;
    } cases[] = {
        {"/src/tree\\sub/utils.cpp", "Util", 379, "[utils.cpp - {Util} - #379]"},
        {"c:\\x\\win.cpp", "F", -3, "[win.cpp - {F} - #-3]"},
        {"dir/", "F", 0, "[ - {F} - #0]"},
        {nullptr, nullptr, 0, "[ - {} - #0]"},
        {"a%s.cpp", "f%d", 2, "[a%s.cpp - {f%d} - #2]"},
        {"x.cpp", function.c_str(), 123456, ("[x.cpp - {" + function).substr(0, 255)},
    };
    for (const auto &c : cases)
        EXPECT_EQ(CapturedStdout([&] { DPFLocation(c.file, c.function, c.line); }), c.want);
}

// A message is text after its format: '%' signs in an argument are never read as conversions.
// The buffer holds 1023 characters: one more brings the notice and a cut message. A format the C
// library cannot process leaves an empty message, never stale stack bytes.
TEST(Dpf, MessagesAreTextCutAt1023Characters) {
    const std::string fits(1023, 'm'), notice = "FAIL: StringCchVPrintfAf failed in DPF";
    const wchar_t unconvertible[] = {static_cast<wchar_t>(0xD800), 0};
    EXPECT_EQ(CapturedStdout([] { DPF(DPF_FAIL, "Unable to open %s", "/tmp/100%d%s%n.txt"); }),
              "[FAIL] Unable to open /tmp/100%d%s%n.txt\n");
    EXPECT_EQ(CapturedStdout([&] { DPF(DPF_FAIL, "%s", fits.c_str()); }), "[FAIL] " + fits + "\n");
    EXPECT_EQ(CapturedStdout([&] { DPF(DPF_FAIL, "%s", (fits + "X").c_str()); }),
              notice + "[FAIL] " + fits + "\n");
    EXPECT_EQ(CapturedStdout([&] { DPF(DPF_FAIL, "%ls", unconvertible); }), notice + "[FAIL] \n");
}

// The system text (when there is one), then the number; the error stays for the next reader.
// (The log file sink is never named in this system: it takes nothing, the error kept.)
TEST(Dpf, LastErrorWritesSystemTextThenNumber) {
    const std::pair<DWORD, std::string> cases[] = {
        {ERROR_ACCESS_DENIED, "Access is denied.\nGetLastError: 5"},
        {98765, "GetLastError: 98765"},
        {0x80004005u, "GetLastError: -2147467259"},
    };
    for (const auto &[error, want] : cases) {
        SetLastError(error);
        EXPECT_EQ(CapturedStdout([] { DPFLastError(); }), want);
        EXPECT_EQ(GetLastError(), error);
    }
}

}  // namespace
