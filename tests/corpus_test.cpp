// End-to-end conversions kept as data: each line of corpus/*.tsv (written from first principles by
// scripts/make-test-corpus.py) is an input file, the options, the exact text the program must print
// and the exact output it must write. malformed.tsv holds damaged, hostile and odd inputs; layout.tsv
// the byte-exact layout of every writer and what each conversion carries over.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "support/test_support.h"

namespace {

struct Case {
    std::string name, file, options, header, printed, output, input;
};

void PrintTo(const Case& c, std::ostream* os) {
    *os << c.name;
}

Bytes fromHex(const std::string& hex) {
    Bytes bytes;
    for (size_t i = 0; i + 1 < hex.size(); i += 2) bytes.push_back(static_cast<uint8_t>(std::stoi(hex.substr(i, 2), nullptr, 16)));
    return bytes;
}

std::string unescape(const std::string& text) {
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) out += text[i] == '\\' && ++i < text.size() ? (text[i] == 'n' ? '\n' : text[i]) : text[i];
    return out;
}

std::vector<Case> loadCorpus(const std::string& name) {
    std::vector<Case> cases;
    std::ifstream corpus(QUORVEXA_TEST_CORPUS "/" + name);
    for (std::string line; std::getline(corpus, line);) {
        std::istringstream fields(line);
        Case c;
        for (std::string* field : {&c.name, &c.file, &c.options, &c.header, &c.printed, &c.output, &c.input}) {
            std::getline(fields, *field, '\t');
        }
        cases.push_back(c);
    }
    // A corpus that is missing or empty would pass on no case at all.
    if (cases.empty()) {
        Case missing;
        missing.name = "Missing_" + name.substr(0, name.find('.'));
        cases.push_back(missing);
    }
    return cases;
}

// Whether the readers people use take the output whole: gzip, unzip, python's zlib, pngcheck, Pillow.
bool readersAccept(const std::string& path) {
    const std::string kind = path.substr(path.rfind('.') + 1), quoted = " '" + path + "'";
    const std::string python = python3() + " -c \"import sys, zlib; from PIL import Image; p = sys.argv[1]; ";
    const std::string command = kind == "gz"    ? "gzip -t" + quoted
                                : kind == "zip" ? "unzip -tq" + quoted
                                : kind == "png" ? "pngcheck -q" + quoted + " && " + python + "Image.open(p).load()\"" + quoted
                                                : python + "zlib.decompress(open(p, 'rb').read())\"" + quoted;
    return runShell(command + " >/dev/null 2>&1").exitCode == 0;
}

class Corpus : public testing::TestWithParam<Case> {};

TEST_P(Corpus, PrintsAndWritesExactlyWhatItShould) {
    const Case& c = GetParam();
    ASSERT_FALSE(c.file.empty()) << "no cases in " << QUORVEXA_TEST_CORPUS;
    TempDir dir;
    const std::string folder = std::filesystem::path(dir.file(c.file)).parent_path();
    std::filesystem::create_directories(folder);
    writeFile(dir.file(c.file), fromHex(c.input));
    if (c.header != "-") writeFile(dir.file("h.png"), fromHex(c.header));
    std::vector<std::string> arguments;
    std::istringstream options(c.options == "-" ? "" : c.options);
    for (std::string option; options >> option;) arguments.push_back(option);
    arguments.push_back(c.file);
    const RunResult run = runQuorvexa(arguments, dir.path);
    const std::string printed = unescape(c.printed);
    EXPECT_EQ(run.err, banner + printed);
    EXPECT_EQ(run.exitCode, printed.find("ERROR") != std::string::npos ? 2 : printed.find("WARNING") != std::string::npos ? 3 : 0);
    const size_t saved = printed.find("Saved as ");
    const std::string output = saved == std::string::npos ? "" : printed.substr(saved + 9, printed.size() - saved - 11);
    EXPECT_EQ(listDirectory(folder).size(), 1u + (c.header != "-") + !output.empty());
    ASSERT_EQ(output.empty(), c.output == "-") << "a saved output has its bytes in the corpus, and only one";
    if (!output.empty()) {
        EXPECT_EQ(readFile(dir.file(output)), fromHex(c.output));
    }
    if (output.empty() || c.name.find("Damaged") != std::string::npos) return;  // --no-verify carries damage
    for (const char* tool : {"gzip", "unzip", "pngcheck", "python3-pil"}) REQUIRE_TOOL(tool);
    EXPECT_TRUE(readersAccept(dir.file(output))) << output;
}

INSTANTIATE_TEST_SUITE_P(Malformed, Corpus, testing::ValuesIn(loadCorpus("malformed.tsv")),
                         [](const testing::TestParamInfo<Case>& info) { return info.param.name; });
INSTANTIATE_TEST_SUITE_P(Layout, Corpus, testing::ValuesIn(loadCorpus("layout.tsv")),
                         [](const testing::TestParamInfo<Case>& info) { return info.param.name; });

}  // namespace
