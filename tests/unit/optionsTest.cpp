// lpfscope's command line: every option, every limit and the samples a
// duration stands for.
#include "options.h"

#include <algorithm>
#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

bool parse(std::vector<std::string> args, ScopeOptions &options, std::string *said = nullptr)
{
    static std::vector<std::string> kept; // --window's value points into it, as into main's argv
    kept = std::move(args);
    kept.insert(kept.begin(), "lpfscope");
    std::vector<char *> argv(kept.size());
    std::transform(kept.begin(), kept.end(), argv.begin(), [](std::string &arg) { return arg.data(); });
    argv.push_back(nullptr);
    testing::internal::CaptureStderr(); // the usage line
    bool ok = parseOptions(static_cast<int>(kept.size()), argv.data(), options);
    std::string text = testing::internal::GetCapturedStderr();
    if (said != nullptr)
        *said = text;
    return ok;
}

TEST(options, limitsAndSyntax)
{
    const struct {
        std::vector<std::string> args;
        bool ok;
        uint32_t rate;
        uint64_t samples; // 0: until interrupted
        const char *said; // part of the usage line
    } cases[] = {
        {{}, true, DEFAULT_RATE, 0, ""},
        {{"-r", "1"}, true, 1, 0, ""},
        {{"--rate=1000000"}, true, 1000000, 0, ""},
        {{"--rate", "1000001"}, false, 0, 0, "--rate takes"},
        {{"-r", "0"}, false, 0, 0, "--rate takes"},
        {{"-r", "10.5"}, false, 0, 0, "--rate takes"},
        {{"-r", "1e3"}, true, 1000, 0, ""},
        {{"-r", "0x10"}, false, 0, 0, "--rate takes"},
        {{"-r", "+5"}, false, 0, 0, "--rate takes"},
        {{"-r", " 5"}, false, 0, 0, "--rate takes"},
        {{"-r", ""}, false, 0, 0, "--rate takes"},
        {{"-r", "5."}, true, 5, 0, ""},
        {{"-r", ".5e1"}, true, 5, 0, ""},
        {{"-r", "1e"}, false, 0, 0, "--rate takes"},
        {{"-r", "inf"}, false, 0, 0, "--rate takes"},
        {{"-d", "1e7", "-r", "1e6"}, true, 1000000, 10000000000000ull, ""},
        {{"-d", "10000000.000001"}, false, 0, 0, "--duration takes"},
        {{"-d", "1e8"}, false, 0, 0, "--duration takes"},
        {{"-d", "0"}, false, 0, 0, "--duration takes"},
        {{"-d", "-1"}, false, 0, 0, "--duration takes"},
        {{"-d", "nan"}, false, 0, 0, "--duration takes"},
        {{"-r", "1e3", "-d", "2.5e-1"}, true, 1000, 250, ""},
        {{"-r", "1000", "-d", "0.0015"}, true, 1000, 2, ""}, // every sample whose time is below the duration
        {{"-r", "1", "-d", "1e-9"}, true, 1, 1, ""},
        {{"--duration"}, false, 0, 0, "missing value after '--duration'"},
        {{"-cr"}, false, 0, 0, "missing value after '-r'"},
        {{"-xt"}, false, 0, 0, "unknown option '-x'"},
        {{"--bogus=3"}, false, 0, 0, "unknown option '--bogus'"},
        {{"--csv=3"}, false, 0, 0, "no value may follow '--csv'"},
        {{"now"}, false, 0, 0, "unexpected argument 'now'"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.args));
        ScopeOptions options{};
        std::string said;
        ASSERT_EQ(parse(c.args, options, &said), c.ok);
        EXPECT_NE(said.find(c.said), std::string::npos) << said;
        if (c.ok) {
            EXPECT_EQ(said, "");
            EXPECT_EQ(options.rate, c.rate);
            EXPECT_EQ(options.samples, c.samples);
        }
    }
}

TEST(options, flags)
{
    ScopeOptions options{};
    ASSERT_TRUE(parse({"-ct", "--window", "/w", "-h", "-V"}, options));
    EXPECT_TRUE(options.csv && options.trigger && options.help && options.version);
    EXPECT_STREQ(options.window, "/w");
    ASSERT_TRUE(parse({"--csv"}, options));
    EXPECT_TRUE(options.csv && !options.trigger && !options.help && !options.version && options.window == nullptr);
}

} // namespace
