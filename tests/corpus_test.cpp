// End-to-end conversions kept as data: each line of corpus/*.tsv (written from first principles by
// scripts/make-test-corpus.py) is an input file, the options, the exact text the program must print
// and the exact output it must write. malformed.tsv holds damaged, hostile and odd inputs; layout.tsv
// the byte-exact layout of every writer and what each conversion carries over.
#include <gtest/gtest.h>

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
    return cases;
}

class Corpus : public testing::TestWithParam<Case> {};

TEST_P(Corpus, PrintsAndWritesExactlyWhatItShould) {
    const Case& c = GetParam();
    TempDir dir;
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
    EXPECT_EQ(listDirectory(dir.path).size(), 1u + (c.header != "-") + !output.empty());
    if (c.output != "-" && c.output != "*") {
        EXPECT_EQ(readFile(dir.file(output)), fromHex(c.output));
    }
}

INSTANTIATE_TEST_SUITE_P(Malformed, Corpus, testing::ValuesIn(loadCorpus("malformed.tsv")),
                         [](const testing::TestParamInfo<Case>& info) { return info.param.name; });
INSTANTIATE_TEST_SUITE_P(Layout, Corpus, testing::ValuesIn(loadCorpus("layout.tsv")),
                         [](const testing::TestParamInfo<Case>& info) { return info.param.name; });

}  // namespace
