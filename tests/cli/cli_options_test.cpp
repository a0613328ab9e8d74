// The option reader the commands share.
#include <gtest/gtest.h>

#include "cli/cli_options.h"

namespace quillon::cli {
namespace {

struct Parsed {
    TargetOptions options;
    std::vector<std::string> others;
    std::string error;
};

Parsed parse(const std::vector<std::string>& args, int kind = 1, int pal = -1) {
    Parsed p{TargetOptions(kind, pal), {}, {}};
    ArgumentReader reader(args);
    while (!reader.done() && p.error.empty()) {
        const std::string opt = reader.next();
        if (!p.options.take(reader, opt)) p.others.push_back(opt);
        else p.error = p.options.error();
    }
    return p;
}

TEST(TargetOptions, TakesItsOptionsAndLeavesTheRest) {
    Parsed p = parse({"--target=DVD", "--ntsc", "--set", "a=1", "-o", "x.mpg", "--ntsc", "--set=b=2", "--settings"});
    EXPECT_EQ(p.error, "");
    EXPECT_EQ(p.options.kind, 4);
    EXPECT_EQ(p.options.pal, 0);
    EXPECT_EQ(p.options.sets, (std::vector<std::string>{"a=1", "b=2"}));
    EXPECT_EQ(p.others, (std::vector<std::string>{"-o", "x.mpg", "--settings"}));

    // Defaults stay when nothing is given.
    Parsed none = parse({"in.avi"}, -1, 0);
    EXPECT_EQ(none.options.kind, -1);
    EXPECT_EQ(none.options.pal, 0);

    EXPECT_EQ(parse({"-t"}).error, "--target needs a value");
    Parsed unknown = parse({"-t", "vhs"});
    EXPECT_EQ(unknown.error, "unknown target \"vhs\"");
    EXPECT_EQ(unknown.options.kind, 1);
    EXPECT_EQ(parse({"--set"}).error, "--set needs KEY=VALUE");
    // Two standards at once cannot both be meant.
    EXPECT_EQ(parse({"--pal", "-o", "x", "--ntsc"}).error, "--pal and --ntsc cannot be given together");
    EXPECT_EQ(parse({"--ntsc", "--pal"}).error, "--pal and --ntsc cannot be given together");
    EXPECT_EQ(parse({"--pal", "--pal"}).error, "");
}

}  // namespace
}  // namespace quillon::cli
