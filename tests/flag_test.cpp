#include "flag.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <functional>
#include <string>
#include <vector>

#include "support/process.h"
#include "support/tempdir.h"

namespace {

using Args = std::vector<std::string>;

// A Flag built from `args` (program name prepended) and parsed; ends the process on failure.
Flag parsed(const Args& args) {
    Args all{"tesmaro"};
    all.insert(all.end(), args.begin(), args.end());
    Flag flag;
    flag.init(all);
    flag.parse();
    return flag;
}

ProcessResult parseInChild(const Args& args) {
    return runInChild([&] { parsed(args); });
}

std::string joined(const Args& args) {
    std::string text;
    for (const auto& a : args) text += "[" + a + "]";
    return text;
}

// Expects a failure report on standard error only: "Error : " + message, two line ends, status 1.
void expectFailure(const Args& args, const std::string& message) {
    const ProcessResult r = parseInChild(args);
    EXPECT_EQ(r.status, 1) << joined(args);
    EXPECT_EQ(r.out, "") << joined(args);
    EXPECT_EQ(r.err, "Error : " + message + "\n\n") << joined(args);
}

void expectSameValues(const Flag::Values& actual, const Flag::Values& expected, const std::string& what) {
    EXPECT_EQ(actual.bdoseVersion, expected.bdoseVersion) << what;
    EXPECT_EQ(actual.compression, expected.compression) << what;
    EXPECT_EQ(actual.cpuMem, expected.cpuMem) << what;
    EXPECT_EQ(std::vector<uint32_t>(actual.dataset.begin(), actual.dataset.end()),
              std::vector<uint32_t>(expected.dataset.begin(), expected.dataset.end()))
        << what;
    EXPECT_EQ(actual.miss, expected.miss) << what;
    EXPECT_EQ(actual.nThreads, expected.nThreads) << what;
    EXPECT_EQ(actual.range, expected.range) << what;
    EXPECT_EQ(actual.rsids.ids, expected.rsids.ids) << what;
    EXPECT_EQ(actual.rsids.order, expected.rsids.order) << what;
    EXPECT_EQ(actual.rsids.index, expected.rsids.index) << what;
}

void setRsids(Flag::Values& v, const Args& ids) {
    for (const auto& id : ids) {
        v.rsids.ids.insert(id);
        v.rsids.order.push_back(id);
        v.rsids.index.push_back(-1);
    }
}

TEST(FlagInit, KeepsArgumentsAfterTheProgramName) {
    Flag flag;
    flag.init({"tesmaro", "--write-bcor", "", "x"});
    EXPECT_EQ(flag.nArgs, 3u);
    EXPECT_EQ(flag.args, (Args{"--write-bcor", "", "x"}));
}

TEST(FlagInit, OnlyTheProgramNameIsRejected) {
    for (const Args& all : {Args{"tesmaro"}, Args{}}) {
        const ProcessResult r = runInChild([&] { Flag().init(all); });
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.err, "Error : No flags detected!\n\n");
    }
}

TEST(FlagParse, RecordsKeysPositionsAndFollowingTexts) {
    // Non-flag words, single-dash words and empty arguments are skipped; a flag's following
    // text may itself be a flag, which is then recorded as well.
    const Flag flag = parsed({"--bcor-to-text", "-x", "x", "", "-", "--bcor-file", "--ld-file", "B"});
    EXPECT_EQ(flag.flags.map.size(), 3u);
    EXPECT_EQ(flag.flags.map.at("bcor-to-text"), (FlagMap::Entry{0, "-x"}));
    EXPECT_EQ(flag.flags.map.at("bcor-file"), (FlagMap::Entry{5, "--ld-file"}));
    EXPECT_EQ(flag.flags.map.at("ld-file"), (FlagMap::Entry{6, "B"}));
    EXPECT_EQ(flag.flags.get("ld-file"), "B");
    EXPECT_EQ(flag.flags.get("in-files"), "");
}

TEST(FlagParse, AliasesMapToTheirKeys) {
    for (const char* help : {"-h", "-help", "--help"}) {
        const Flag flag = parsed({help});
        EXPECT_EQ(flag.flags.map.size(), 1u);
        EXPECT_EQ(flag.flags.map.at("help"), (FlagMap::Entry{0, ""})) << help;
    }
    TempDir dir;
    const std::string master = dir.write("m.txt", "");
    const Flag flag = parsed({"--write-bcor", "--read-bdose", "--in-files", master, "--memory", "2",
                              "--sample-miss", "0.5"});
    EXPECT_EQ(flag.flags.map.at("cpu-mem"), (FlagMap::Entry{4, "2"}));
    EXPECT_EQ(flag.flags.map.at("miss"), (FlagMap::Entry{6, "0.5"}));
    EXPECT_FALSE(flag.flags.has("memory"));
    EXPECT_FALSE(flag.flags.has("sample-miss"));
}

TEST(FlagParse, UnrecognisedDoubleDashArgumentsEndTheRun) {
    const struct {
        Args args;
        std::string flag;
    } cases[] = {
        {{"--x"}, "--x"},
        {{"--"}, "--"},
        {{"--write-bcor", "--Write-bcor"}, "--Write-bcor"},
        {{"--memory=2", "--write-bcor"}, "--memory=2"},
        {{"--cpu-mem", "2"}, "--cpu-mem"},
        {{"--miss", "0.2"}, "--miss"},
        {{"--help-me"}, "--help-me"},
        // Found while recording, before any combination rule is evaluated.
        {{"--write-bcor", "--write-text", "--bogus"}, "--bogus"},
        // The text after a valued flag is examined too.
        {{"--n-threads", "--four"}, "--four"},
    };
    for (const auto& c : cases) expectFailure(c.args, "Cannot recognize flag '" + c.flag + "'!");
}

TEST(FlagParse, RepeatedFlagsEndTheRun) {
    const struct {
        Args args;
        std::string message;
    } cases[] = {
        {{"--n-threads", "2", "--n-threads", "4"}, "Command-line flag 'n-threads' with value '4' has already been set!"},
        {{"--write-bcor", "--write-bcor"}, "Command-line flag 'write-bcor' has already been set!"},
        {{"-h", "--help"}, "Command-line flag 'help' has already been set!"},
        {{"-help", "-h", "x"}, "Command-line flag 'help' with value 'x' has already been set!"},
        {{"--memory", "1", "--memory", "1"}, "Command-line flag 'cpu-mem' with value '1' has already been set!"},
        {{"--sample-miss", "--sample-miss"}, "Command-line flag 'miss' has already been set!"},
        // The repeat is found while recording, before the rule that no subprogram is given.
        {{"--dataset", "1", "--dataset", ""}, "Command-line flag 'dataset' has already been set!"},
    };
    for (const auto& c : cases) expectFailure(c.args, c.message);
}

TEST(FlagCheckFlags, EachRuleWithItsMinimalFailingCommandLine) {
    const std::string five = "'--bcor-to-text', '--text-to-bcor', '--write-bcor', '--write-bdose' or '--write-text'";
    const struct {
        Args args;
        std::string message;
    } cases[] = {
        {{"--read-only-bgen"}, five + " must be used!"},
        {{"x"}, five + " must be used!"},
        {{"--write-bcor", "--write-text"}, "'--write-bcor' and '--write-text' cannot be used together!"},
        {{"--write-bcor", "--bcor-to-text"}, "'--write-bcor' and '--bcor-to-text' cannot be used together!"},
        {{"--write-bcor", "--text-to-bcor"}, "'--write-bcor' and '--text-to-bcor' cannot be used together!"},
        {{"--write-bdose", "--bcor-to-text"}, "'--write-bdose' and '--bcor-to-text' cannot be used together!"},
        {{"--write-bdose", "--text-to-bcor"}, "'--write-bdose' and '--text-to-bcor' cannot be used together!"},
        {{"--write-text", "--bcor-to-text"}, "'--write-text' and '--bcor-to-text' cannot be used together!"},
        {{"--write-text", "--text-to-bcor"}, "'--write-text' and '--text-to-bcor' cannot be used together!"},
        {{"--bcor-to-text", "--text-to-bcor"}, "'--bcor-to-text' and '--text-to-bcor' cannot be used together!"},
        {{"--write-bcor"},
         "'--write-bcor' must be used together with '--read-bdose', '--read-only-bgen' or '--write-bdose'!"},
        {{"--write-text"},
         "'--write-text' must be used together with '--read-bdose', '--read-only-bgen' or '--write-bdose'!"},
        {{"-h", "--dataset", "1"},
         "'--dataset' must be used together with '--bcor-to-text', '--text-to-bcor', --write-bcor', "
         "'--write-bdose' or '--write-text'!"},
        {{"-h", "--in-files", "m"},
         "'--in-files' must be used together with '--text-to-bcor', --write-bcor', '--write-bdose' or "
         "'--write-text'!"},
        {{"--write-bcor", "--read-only-bgen", "--bdose-version", "1.1"},
         "'--bdose-version' must be used together with either '--read-bdose' or '--write-bdose!"},
        {{"--write-bdose"},
         "'--bdose-version' must be followed by a positive floating point value 1.1 when using '--write-bdose' by "
         "itself!"},
        {{"--write-text", "--read-only-bgen", "--memory", "1"},
         "'--cpu-mem' must be used with either '--read-bdose' or '--write-bdose!"},
        {{"--write-bdose", "--bdose-version", "1.1", "--read-bdose"},
         "'--read-bdose' and '--bdose-version' cannot be used together!"},
        {{"--write-bdose", "--bdose-version", "1.1", "--sample-miss", "0.2"},
         "'--sample-miss' must be used together with either '--write-bcor' or '--write-text'!"},
        {{"--bcor-to-text", "--n-threads", "2"},
         "'--n-threads' must be used together with either '--write-bcor', '--write-bdose' or '--write-text'!"},
        {{"--bcor-to-text", "--read-bdose"},
         "'--read-bdose' must be used together with either '--write-bcor' or '--write-text'!"},
        {{"--write-text", "--read-bdose", "--write-bdose"},
         "'--read-bdose' cannot be used together with '--write-bdose'!"},
        {{"--bcor-to-text"},
         "'--in-files' or '--bcor-file' and '--ld-file' must be used together with '--bcor-to-text'!"},
        {{"--bcor-to-text", "--in-files", "m", "--bcor-file", "a"},
         "'--in-files' and '--bcor-file' cannot be used together with '--bcor-to-text'!"},
        {{"--bcor-to-text", "--in-files", "m", "--ld-file", "b"},
         "'--in-files' and '--ld-file' cannot be used together with '--bcor-to-text'!"},
        {{"--bcor-to-text", "--ld-file", "b"}, "'--bcor-file' must be used together with '--ld-file'!"},
        {{"--bcor-to-text", "--bcor-file", "a"}, "'--ld-file' must be used together with '--bcor-file'!"},
        {{"--write-bcor", "--read-only-bgen", "--bcor-file", "a"},
         "'--bcor-file' must be used together with '--bcor-to-text'!"},
        {{"--write-bcor", "--read-only-bgen", "--ld-file", "b"},
         "'--ld-file' must be used together with '--bcor-to-text'!"},
        {{"--bcor-to-text", "--bcor-file", "a", "--ld-file", "b", "--dataset", "1"},
         "'--dataset' must be used together '--in-files' and '--bcor-to-text'!"},
        {{"--text-to-bcor", "--range", "1"}, "'--range' must be used together with '--bcor-to-text'!"},
        {{"--write-text", "--read-only-bgen", "--compression", "low"},
         "'--compression' must be used together with either '--write-bcor' or '--write-bdose!"},
        {{"--bcor-to-text", "--in-files", "m", "--memory", "1"},
         "'--memory' must be used together with either '--write-bcor' or '--write-text!"},
        {{"--write-bcor", "--read-only-bgen", "--rsids", "rs1"},
         "'--rsids' must be used together with '--bcor-to-text' or '--write-text'!"},
        {{"--bcor-to-text", "--bcor-file", "a", "--ld-file", "b", "--range", "1-2", "--rsids", "rs1"},
         "'--range' and '--rsids' cannot be used together!"},
        {{"-h", "--bcor-to-text", "--in-files", "m", "--range", "1", "--rsids", "rs1"},
         "'--range' and '--rsids' cannot be used together!"},
    };
    for (const auto& c : cases) expectFailure(c.args, c.message);
}

TEST(FlagCheckFlags, SubprogramsOtherThanBcorToTextNeedAMasterFile) {
    const std::string message =
        "'--write-bcor', '--write-bdose', '--write-text' and '--text-to-bcor' must be used together with "
        "'--in-files'!";
    for (const Args& args : {Args{"--write-bcor", "--read-only-bgen"}, Args{"--write-text", "--read-bdose"},
                             Args{"--write-bdose", "--bdose-version", "1.1"}, Args{"--text-to-bcor"},
                             Args{"--write-bcor", "--write-bdose", "--dataset", "1"},
                             Args{"--text-to-bcor", "--dataset", "2"}})
        expectFailure(args, message);
}

TEST(FlagCheckFlags, FirstFailingRuleInOrderWins) {
    const struct {
        Args args;
        std::string message;
    } cases[] = {
        {{"--write-bcor", "--write-text", "--bcor-to-text"},
         "'--write-bcor' and '--write-text' cannot be used together!"},
        {{"--help", "--write-bcor"},
         "'--write-bcor' must be used together with '--read-bdose', '--read-only-bgen' or '--write-bdose'!"},
        {{"-h", "--n-threads", "x"},
         "'--n-threads' must be used together with either '--write-bcor', '--write-bdose' or '--write-text'!"},
        {{"--write-bdose", "--bdose-version", "1.1", "--read-bdose"},
         "'--read-bdose' and '--bdose-version' cannot be used together!"},
        {{"--bcor-to-text", "--memory", "1", "--in-files", "m"},
         "'--memory' must be used together with either '--write-bcor' or '--write-text!"},
        {{"--text-to-bcor", "--range", "1", "--in-files", "m"},
         "'--range' must be used together with '--bcor-to-text'!"},
        {{"--write-text", "--compression", "low", "--read-only-bgen"},
         "'--compression' must be used together with either '--write-bcor' or '--write-bdose!"},
        // Rules come before every value conversion.
        {{"--write-bcor", "--write-text", "--n-threads", "x"},
         "'--write-bcor' and '--write-text' cannot be used together!"},
        // The rule for a master file comes after every other one.
        {{"--write-bcor", "--read-only-bgen", "--rsids", "a"},
         "'--rsids' must be used together with '--bcor-to-text' or '--write-text'!"},
    };
    for (const auto& c : cases) expectFailure(c.args, c.message);
}

TEST(FlagCheckFlags, AllowedCombinationsPass) {
    TempDir dir;
    const std::string master = dir.write("m.txt", "");
    const Args cases[] = {
        {"-h"},
        {"-h", "--write-bcor", "--read-only-bgen"},
        {"--write-bdose", "--bdose-version", "1.1", "--memory", "1", "--in-files", master},
        {"--write-bcor", "--write-bdose", "--compression", "high", "--in-files", master},
        {"--write-text", "--read-bdose", "--memory", "1", "--rsids", "a", "--in-files", master},
        {"--text-to-bcor", "--read-only-bgen", "--in-files", master},
        {"--bcor-to-text", "--bcor-file", "a", "--ld-file", "b", "--read-only-bgen"},
        {"--bcor-to-text", "--in-files", master, "--dataset", "1", "--range", "5"},
    };
    for (const auto& args : cases) {
        const ProcessResult r = parseInChild(args);
        EXPECT_EQ(r.status, 0) << joined(args) << r.err;
        EXPECT_EQ(r.err, "") << joined(args);
    }
}

TEST(FlagSetValues, AcceptedValues) {
    TempDir dir;
    const std::string master = dir.write("m.txt", "");
    const std::string idFile = dir.write("ids.txt", "a\nb\r\n c\n\nd");
    const Args correlations{"--write-bcor", "--read-only-bgen", "--in-files", master};
    const Args text{"--write-text", "--read-only-bgen", "--in-files", master};
    const Args pair{"--bcor-to-text", "--bcor-file", "a", "--ld-file", "b"};
    const auto with = [](Args base, const Args& more) {
        base.insert(base.end(), more.begin(), more.end());
        return base;
    };
    const struct {
        Args args;
        std::function<void(Flag::Values&)> expect;
    } cases[] = {
        {pair, [](Flag::Values&) {}},
        {with(correlations, {"--n-threads", "4"}), [](Flag::Values& v) { v.nThreads = 4; }},
        {with(correlations, {"--n-threads", "4.0"}), [](Flag::Values& v) { v.nThreads = 4; }},
        {with(correlations, {"--n-threads", " 1e2"}), [](Flag::Values& v) { v.nThreads = 100; }},
        {with(correlations, {"--n-threads", "0x10"}), [](Flag::Values& v) { v.nThreads = 16; }},
        {with(correlations, {"--n-threads", "4294967295"}), [](Flag::Values& v) { v.nThreads = 4294967295u; }},
        {with(correlations, {"--sample-miss", "0.999"}), [](Flag::Values& v) { v.miss = 0.999; }},
        {with(correlations, {"--sample-miss", "1e-3"}), [](Flag::Values& v) { v.miss = 0.001; }},
        {with(correlations, {"--compression", "ultra-low"}), [](Flag::Values& v) { v.compression = 3; }},
        {with(correlations, {"--compression", "low"}), [](Flag::Values& v) { v.compression = 0; }},
        {with(correlations, {"--compression", "medium"}), [](Flag::Values& v) { v.compression = 1; }},
        {with(correlations, {"--compression", "high"}), [](Flag::Values& v) { v.compression = 2; }},
        {{"--write-bcor", "--read-bdose", "--in-files", master, "--memory", "0.5"},
         [](Flag::Values& v) { v.cpuMem = 0.5; }},
        {{"--write-bdose", "--bdose-version", "1.1", "--in-files", master, "--memory", "16"},
         [](Flag::Values& v) {
             v.cpuMem = 16;
             v.bdoseVersion = 1;
         }},
        {{"--write-bcor", "--write-bdose", "--in-files", master}, [](Flag::Values& v) { v.bdoseVersion = 0; }},
        {{"--write-text", "--write-bdose", "--bdose-version", "1.0", "--in-files", master},
         [](Flag::Values& v) { v.bdoseVersion = 0; }},
        {{"--write-bcor", "--write-bdose", "--bdose-version", "1.1", "--compression", "low", "--in-files", master},
         [](Flag::Values& v) {
             v.bdoseVersion = 1;
             v.compression = 0;
         }},
        {{"--write-bcor", "--write-bdose", "--compression", "high", "--in-files", master},
         [](Flag::Values& v) {
             v.bdoseVersion = 0;
             v.compression = 2;
         }},
        {with(correlations, {"--dataset", "3,1,2"}), [](Flag::Values& v) { v.dataset = {1, 2, 3}; }},
        {with(correlations, {"--dataset", "1/3"}), [](Flag::Values& v) { v.dataset = {1, 3}; }},
        {with(correlations, {"--dataset", "1-3"}), [](Flag::Values& v) { v.dataset = {1, 3}; }},
        {with(correlations, {"--dataset", "2.5"}), [](Flag::Values& v) { v.dataset = {2, 5}; }},
        {with(correlations, {"--dataset", "1,"}), [](Flag::Values& v) { v.dataset = {1}; }},
        {with(correlations, {"--dataset", "007|10"}), [](Flag::Values& v) { v.dataset = {7, 10}; }},
        {with(correlations, {"--dataset", "00000000000000000000000000004294967295"}),
         [](Flag::Values& v) { v.dataset = {4294967295u}; }},
        {with(pair, {"--range", "100-200"}), [](Flag::Values& v) { v.range = {100, 200}; }},
        {with(pair, {"--range", "100"}), [](Flag::Values& v) { v.range = {100}; }},
        {with(pair, {"--range", "100-"}), [](Flag::Values& v) { v.range = {100}; }},
        {with(pair, {"--range", "5-5"}), [](Flag::Values& v) { v.range = {5, 5}; }},
        {with(pair, {"--range", "1e3-0x7D0"}), [](Flag::Values& v) { v.range = {1000, 2000}; }},
        {with(pair, {"--range", "1-4294967295"}), [](Flag::Values& v) { v.range = {1, 4294967295u}; }},
        {with(text, {"--rsids", "rs1,rs2"}), [](Flag::Values& v) { setRsids(v, {"rs1", "rs2"}); }},
        {with(text, {"--rsids", "rs2,rs1,"}), [](Flag::Values& v) { setRsids(v, {"rs2", "rs1"}); }},
        {with(pair, {"--rsids", "a,,b"}), [](Flag::Values& v) { setRsids(v, {"a", "", "b"}); }},
        {with(pair, {"--rsids", idFile}), [](Flag::Values& v) { setRsids(v, {"a", "b\r", " c", "", "d"}); }},
        // With a help flag no value is converted, however bad.
        {{"-h", "--bcor-to-text", "--bcor-file", "a", "--ld-file", "b", "--range", "x"}, [](Flag::Values&) {}},
        {{"-h", "--write-bcor", "--read-only-bgen", "--n-threads", "x", "--in-files", "/no/such/file"},
         [](Flag::Values&) {}},
    };
    for (const auto& c : cases) {
        Flag::Values expected;
        c.expect(expected);
        expectSameValues(parsed(c.args).values, expected, joined(c.args));
    }
}

TEST(FlagSetValues, RejectedValues) {
    TempDir dir;
    const std::string master = dir.write("m.txt", "");
    const std::string emptyFile = dir.write("empty.txt", "");
    const std::string duplicates = dir.write("dup.txt", "a\nb\na\n");
    const Args correlations{"--write-bcor", "--read-only-bgen", "--in-files", master};
    const Args memory{"--write-bcor", "--read-bdose", "--in-files", master};
    const Args pair{"--bcor-to-text", "--bcor-file", "a", "--ld-file", "b"};
    const auto with = [](Args base, const Args& more) {
        base.insert(base.end(), more.begin(), more.end());
        return base;
    };
    const std::string threads = "'--n-threads' must be followed by a positive integer value";
    const std::string mem = "'--cpu-mem' must be followed by a positive float value!";
    const std::string miss = "'--miss' must be followed by a floating point value between 0.0 and 1.0!";
    const std::string delimiters =
        "'--dataset' must be followed by delimiter-separated positive integer values for instance by ',' or '/'!";
    const std::string bigDataset =
        "'--dataset' must be followed by a positive integer values smaller than or equal to 4,294,967,295!";
    const std::string range = "'--range' must be followed by two dash-separated positive integer values!";
    const std::string bigRange =
        "'--range' must be followed by two dash-separated positive integer values smaller than or equal to "
        "4,294,967,295!";
    const std::string rsids = "'--rsids' must be followed by comma-separated values or a filename!";
    const std::string inFiles = "'--in-files' must be followed by a filename!";
    const struct {
        Args args;
        std::string message;
    } cases[] = {
        {{"--write-bcor", "--read-only-bgen", "--in-files", dir.path()}, inFiles},
        {{"--write-bcor", "--read-only-bgen", "--in-files"}, inFiles},
        {{"--write-bcor", "--read-only-bgen", "--in-files", ""}, inFiles},
        {{"--write-bcor", "--read-only-bgen", "--in-files", dir.file("missing.txt")},
         "File '" + dir.file("missing.txt") + "' cannot be opened!"},
        {with(correlations, {"--n-threads", "4.5"}), threads + "!"},
        {with(correlations, {"--n-threads", "0"}), threads + "!"},
        {with(correlations, {"--n-threads", "-2"}), threads + "!"},
        {with(correlations, {"--n-threads", "4x"}), threads + "!"},
        {with(correlations, {"--n-threads", "4 "}), threads + "!"},
        {with(correlations, {"--n-threads", "nan"}), threads + "!"},
        {with(correlations, {"--n-threads", "-inf"}), threads + "!"},
        {with(correlations, {"--n-threads", ""}), threads + "!"},
        {with(correlations, {"--n-threads"}), threads + "!"},
        {with(correlations, {"--n-threads", "4294967296"}), threads + " smaller than or equal to 4,294,967,295!"},
        {with(correlations, {"--n-threads", "inf"}), threads + " smaller than or equal to 4,294,967,295!"},
        {with(correlations, {"--n-threads", "1e300"}), threads + " smaller than or equal to 4,294,967,295!"},
        {with(memory, {"--memory", "0"}), mem},
        {with(memory, {"--memory", "-1"}), mem},
        {with(memory, {"--memory", "nan"}), mem},
        {with(memory, {"--memory", "1GB"}), mem},
        {with(memory, {"--memory", ""}), mem},
        {with(correlations, {"--sample-miss", "1"}), miss},
        {with(correlations, {"--sample-miss", "0"}), miss},
        {with(correlations, {"--sample-miss", "-0.1"}), miss},
        {with(correlations, {"--sample-miss", "nan"}), miss},
        {with(correlations, {"--sample-miss", "inf"}), miss},
        {with(correlations, {"--sample-miss", "0.1x"}), miss},
        {with(correlations, {"--sample-miss"}), miss},
        {with(correlations, {"--compression"}), "'--compression' must be followed by a positive integer value!"},
        {with(correlations, {"--compression", "Low"}), "'--compression' must be followed by 'low', 'medium' or 'high'!"},
        {with(correlations, {"--compression", "1"}), "'--compression' must be followed by 'low', 'medium' or 'high'!"},
        {with(correlations, {"--dataset", ""}), delimiters},
        {with(correlations, {"--dataset", "0"}), delimiters},
        {with(correlations, {"--dataset", "1,,3"}), delimiters},
        {with(correlations, {"--dataset", ",1"}), delimiters},
        {with(correlations, {"--dataset", "-1"}), delimiters},
        {with(correlations, {"--dataset", "abc"}), delimiters},
        {with(correlations, {"--dataset", "0,4294967296"}), delimiters},
        {with(correlations, {"--dataset", "4294967296"}), bigDataset},
        {with(correlations, {"--dataset", "4294967296,0"}), bigDataset},
        {with(correlations, {"--dataset", std::string(200, '9')}), bigDataset},
        {with(correlations, {"--dataset", "1,1"}), "'--dataset' contains a duplicated entry!"},
        {with(correlations, {"--dataset", "2,01,1"}), "'--dataset' contains a duplicated entry!"},
        {with(pair, {"--range", ""}), range},
        {with(pair, {"--range", "0-100"}), range},
        {with(pair, {"--range", "-100"}), range},
        {with(pair, {"--range", "1--2"}), range},
        {with(pair, {"--range", "1.5"}), range},
        {with(pair, {"--range", "1e-5"}), range},
        {with(pair, {"--range", "nan"}), range},
        {with(pair, {"--range", "1-2-x"}), range},
        {with(pair, {"--range", "4294967296"}), bigRange},
        {with(pair, {"--range", "1-inf"}), bigRange},
        {with(pair, {"--range", "1-2-3"}), "'--range' must be followed by two dash-separated values positive integer values!"},
        {with(pair, {"--range", "200-100"}),
         "'--range' must be followed by two dash-separated values xx-yy where xx is smaller than yy!"},
        {with(pair, {"--rsids", ""}), rsids},
        {with(pair, {"--rsids", dir.path()}), rsids},
        {with(pair, {"--rsids", emptyFile}), "File '" + emptyFile + "' is empty!"},
        {with(pair, {"--rsids", "rs1,rs1"}), "'--rsids' contains a duplicated entry!"},
        {with(pair, {"--rsids", duplicates}), "'--rsids' contains a duplicated entry!"},
        {{"--write-bdose", "--in-files", master, "--bdose-version", ""},
         "'--bdose-version' must be followed by a positive integer value!"},
        {{"--write-bdose", "--in-files", master, "--bdose-version", "1.10"},
         "'--bdose-version' must be followed by a positive floating point value 1.0 or 1.1!"},
        {{"--write-bdose", "--in-files", master, "--bdose-version", "1"},
         "'--bdose-version' must be followed by a positive floating point value 1.0 or 1.1!"},
        {{"--write-bdose", "--in-files", master, "--bdose-version", "1.0"},
         "'--bdose-version' must be followed by a positive floating point value 1.1!"},
        {{"--write-bcor", "--write-bdose", "--in-files", master, "--bdose-version", "1.0", "--compression", "high"},
         "'--bdose-version 1.0' cannot be used together with '--compression'"},
    };
    for (const auto& c : cases) expectFailure(c.args, c.message);
}

TEST(FlagSetValues, UnreadableMasterFile) {
    if (geteuid() == 0) GTEST_SKIP() << "root can read every file";
    TempDir dir;
    const std::string master = dir.write("m.txt", "");
    ASSERT_EQ(chmod(master.c_str(), 0), 0);
    expectFailure({"--write-bcor", "--read-only-bgen", "--in-files", master},
                  "File '" + master + "' cannot be opened!");
}

TEST(FlagSetValues, FirstBadValueInConversionOrderWins) {
    const struct {
        Args args;
        std::string message;
    } cases[] = {
        {{"--write-bcor", "--read-only-bgen", "--n-threads", "x", "--in-files", "/no/such/file"},
         "File '/no/such/file' cannot be opened!"},
        {{"--bcor-to-text", "--in-files", "/", "--dataset", "0"}, "'--in-files' must be followed by a filename!"},
        {{"--write-bcor", "--read-only-bgen", "--in-files", "/dev/null", "--compression", "x", "--dataset", "0"},
         "'--dataset' must be followed by delimiter-separated positive integer values for instance by ',' or '/'!"},
        {{"--write-bcor", "--read-bdose", "--in-files", "/dev/null", "--sample-miss", "2", "--memory", "0",
          "--compression", "x"},
         "'--compression' must be followed by 'low', 'medium' or 'high'!"},
        {{"--write-bcor", "--read-bdose", "--in-files", "/dev/null", "--sample-miss", "2", "--memory", "0"},
         "'--cpu-mem' must be followed by a positive float value!"},
        {{"--write-text", "--read-only-bgen", "--in-files", "/dev/null", "--n-threads", "0", "--sample-miss", "2"},
         "'--miss' must be followed by a floating point value between 0.0 and 1.0!"},
        {{"--write-text", "--read-only-bgen", "--in-files", "/dev/null", "--rsids", "a,a", "--n-threads", "0"},
         "'--n-threads' must be followed by a positive integer value!"},
        {{"--write-bcor", "--write-bdose", "--in-files", "/dev/null", "--n-threads", "0", "--bdose-version", "x"},
         "'--n-threads' must be followed by a positive integer value!"},
        {{"--write-bcor", "--write-bdose", "--in-files", "/dev/null", "--bdose-version", "2", "--dataset", "1,1"},
         "'--dataset' contains a duplicated entry!"},
    };
    for (const auto& c : cases) expectFailure(c.args, c.message);
}

TEST(FlagPrint, SettingsBlocks) {
    TempDir dir;
    const std::string m = dir.write("m.txt", "");
    const std::string head = "--------\nSETTINGS\n--------\n";
    const struct {
        Args args;
        std::string out;
    } cases[] = {
        {{"--write-bcor", "--read-only-bgen", "--in-files", m},
         head +
             "- dataset       : all\n"
             "- compression   : medium\n"
             "- n-threads     : 1\n"
             "- sample-miss   : 0.1\n\n"},
        {{"--write-bcor", "--write-bdose", "--in-files", m, "--dataset", "2,1", "--compression", "ultra-low",
          "--memory", "0.5", "--n-threads", "8", "--sample-miss", "0.25"},
         head +
             "- dataset       : 1 2 \n"
             "- bdose-version : 1.0\n"
             "- compression   : ultra-low\n"
             "- memory        : 500 MB\n"
             "- n-threads     : 8\n"
             "- sample-miss   : 0.25\n\n"},
        {{"--write-bdose", "--bdose-version", "1.1", "--in-files", m, "--compression", "low", "--memory", "2"},
         head +
             "- dataset       : all\n"
             "- bdose-version : 1.1\n"
             "- compression   : low\n"
             "- memory        : 2 GB\n"
             "- n-threads     : 1\n"
             "- sample-miss   : 0.1\n\n"},
        {{"--write-text", "--read-bdose", "--in-files", m, "--rsids", "rs1,rs2", "--sample-miss", "0.123456789",
          "--memory", "1e-9"},
         head +
             "- dataset       : all\n"
             "- compression   : medium\n"
             "- memory        : 1.000000 Bytes\n"
             "- n-threads     : 1\n"
             "- rsids         : rs1,rs2\n"
             "- sample-miss   : 0.123457\n\n"},
        {{"--write-bcor", "--read-only-bgen", "--in-files", m, "--compression", "high", "--dataset", "10"},
         head +
             "- dataset       : 10 \n"
             "- compression   : high\n"
             "- n-threads     : 1\n"
             "- sample-miss   : 0.1\n\n"},
        {{"--bcor-to-text", "--bcor-file", "a", "--ld-file", "b"}, head + "- dataset : all\n\n"},
        {{"--bcor-to-text", "--in-files", m, "--dataset", "2,1", "--range", "100"},
         head + "- dataset : 1 2 \n- range   : 100-100\n\n"},
        {{"--bcor-to-text", "--in-files", m, "--range", "5-70"}, head + "- dataset : all\n- range   : 5-70\n\n"},
        {{"--bcor-to-text", "--bcor-file", "a", "--ld-file", "b", "--rsids", "x,y,z"},
         head + "- dataset : all\n- rsids   : x,y,z\n\n"},
        {{"--text-to-bcor", "--in-files", m}, ""},
    };
    for (const auto& c : cases) {
        const ProcessResult r = runInChild([&] { parsed(c.args).print(); });
        EXPECT_EQ(r.status, 0) << joined(c.args) << r.err;
        EXPECT_EQ(r.out, c.out) << joined(c.args);
    }
}

TEST(FlagHelp, ParameterTable) {
    const std::string expected =
        "-----------------------\n"
        "COMMAND-LINE PARAMETERS\n"
        "-----------------------\n"
        "\n"
        "--bcor-file         Option to specify a BCOR file                             With --bcor-to-text\n"
        "--bcor-to-text      Convert BCOR file to a text file                          Subprogram\n"
        "--bdose-version     Option to set the BDOSE file version                      With --write-bdose\n"
        "--compression       Option to specify the compression level (see below) of a  Default is medium\n"
        "                    BDOSE/BCOR file as 'ultra-low' (1 byte), 'low' (2 bytes), With --write-bcor and\n"
        "                    'medium' (4 bytes) or 'high' (8 bytes)                    --write-bdose\n"
        "--dataset           Option to specify a delimiter-separated list of datasets  All by default\n"
        "                    as given in the master file (e.g. 1,2 or 1|2)             \n"
        "--in-files          Option to specify a semicolon separated master file.      With --bcor-to-text,\n"
        "                    Each line is a dataset with file extensions corresponding --write-bcor, --write-bdose\n"
        "                    with column names. The column 'n_samples' represents the   and --write-text\n"
        "                    number of samples to use for computation                  \n"
        "--ld-file           Option to specify a LD file                               With --bcor-to-text\n"
        "--memory            Option to limit the amount of memory in gigabyte that     Default is 1Gb.\n"
        "                    can be used during computation of SNP correlations        With --read-bdose or\n"
        "                                                                              --write-bdose when using\n"
        "                                                                              either --write-bcor or\n"
        "                                                                              --write-text\n"
        "--n-threads         Option to specify the number of parallel threads          Default is 1\n"
        "                                                                              With --write-bcor,\n"
        "                                                                              --write-bdose or --write-text\n"
        "--range             Option to specify a genomic range xx-yy to operate on     With --bcor-to-text\n"
        "                    when converting a BCOR file to a LD file where xx and yy  \n"
        "                    are the start and end coordinates in base pairs           \n"
        "--read-bdose        Read dosage data from a BDOSE file                        With --write-bcor or\n"
        "                                                                              --write-text\n"
        "--read-only-bgen    Read genotype probabilities from a BGEN file and store    With --write-bcor or\n"
        "                    dosage data in memory                                     --write-text\n"
        "--rsids             Option to specify a comma-separated list of SNP identi-   With --bcor-to-text or\n"
        "                    fiers corresponding with the 'rsid' column in Z files as  --write-text\n"
        "                    specified in column 'z' in the master file                \n"
        "--sample-miss       Option to set a missing data threshold between 0 and 1.   Default is 0.1\n"
        "                    If the missing data rate for a SNP is above the specified With --write-bcor or\n"
        "                    threshold, then the correlation of any SNP pair that      --write-text\n"
        "                    includes this SNP is set to NA. If the missing data rate  \n"
        "                    for a SNP is below the specified threshold, then missing  \n"
        "                    data is mean-imputed                                      \n"
        "--write-bcor        Write SNP correlations to a BCOR file                     Subprogram\n"
        "--write-bdose       Write dosage data to a BDOSE file                         Subprogram and with\n"
        "                                                                              --write-bcor or --write-text\n"
        "--write-text        Write SNP correlations to a text file                     Subprogram\n"
        "\n";
    const ProcessResult r = runInChild([] { Flag().help(); });
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out, expected);

    // 4 header lines, 41 rows, the final empty line; every note starts at column 79.
    std::vector<std::string> lines;
    for (std::size_t start = 0, end; (end = r.out.find('\n', start)) != std::string::npos; start = end + 1)
        lines.push_back(r.out.substr(start, end - start));
    ASSERT_EQ(lines.size(), 46u);
    for (std::size_t k = 4; k < 45; ++k) EXPECT_GE(lines[k].size(), 78u) << k;
    EXPECT_EQ(lines[45], "");
    EXPECT_EQ(r.out.find("--text-to-bcor"), std::string::npos);
}

}  // namespace
