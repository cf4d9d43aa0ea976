// Where outputs go: -o, --outdir, -c, standard input, --force, --quiet and --test, alone, together,
// with every output format, in batches where a file fails, and when a pipe or the staging folder fails.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include "support/test_support.h"

namespace {

const std::string examples = QUORVEXA_TEST_CORPUS "/../../examples/";
const Bytes large = gzipOf(sampleData(3 << 20), 1000);  // copied early, and more than a pipe holds

// Inputs a.gz (a time, no name), crc.gz (a wrong CRC-32), bad.gz, the example pair h.png and o.zip,
// and s.zlib; folders d and tmp. Commands run there as $Q, with TMPDIR=tmp.
struct Workspace {
    TempDir dir;
    std::vector<std::string> initial;
    Workspace() {
        Bytes damaged = large;
        damaged[damaged.size() - 8] ^= 1;
        for (const auto& [name, bytes] : {std::pair{"a.gz", large}, {"crc.gz", damaged}, {"bad.gz", bytesOf("not gzip")},
                                          {"h.png", readFile(examples + "original.png")},
                                          {"o.zip", readFile(examples + "optimised.zip")},
                                          {"s.zlib", readFile(examples + "sample.zlib")}})
            writeFile(dir.file(name), bytes);
        for (const char* folder : {"d", "tmp"}) mkdir(dir.file(folder).c_str(), 0755);
        initial = added();
    }
    RunResult run(const std::string& command) const {
        return runShell("cd " + dir.path + " && export TMPDIR=tmp Q=" + programPath() + " && " + command);
    }
    // What is in the folder, d/ and tmp/ (the staging folder, which must stay empty), beyond the start.
    std::vector<std::string> added() const {
        std::vector<std::string> names;
        for (const std::string folder : {"", "d/", "tmp/"}) {
            for (const std::string& name : listDirectory(dir.file(folder))) {
                if (std::find(initial.begin(), initial.end(), folder + name) == initial.end()) names.push_back(folder + name);
            }
        }
        return names;
    }
};

}  // namespace

TEST(Outputs, PosixEachOptionAloneAndTogetherInBatchesPipesAndTerminals) {
    const std::string badFormat = errorLine("bad.gz", "Unknown file format.");
    const std::string cantWrite = errorLine("a.gz", "Couldn't write output file standard output.");
    const std::string isInput = errorLine("a.gz", "Output would replace its own input.");
    const struct {
        std::string command;
        std::string err;  // after the banner, which -q leaves out
        int exitCode;
        std::vector<std::string> added;
    } cases[] = {
        {"$Q -o out.zlib --zlib a.gz", successLine("a.gz", "out.zlib"), 0, {"out.zlib"}},
        {"$Q --gzip --output=out a.gz", successLine("a.gz", "out"), 0, {"out"}},
        {"$Q --png h.png -o p o.zip", successLine("o.zip", "p"), 0, {"p"}},
        {"$Q --png=h.png --outdir=d ./o.zip", successLine("./o.zip", "d/o.zip.png"), 0, {"d/o.zip.png"}},
        {"$Q --outdir=d/ --gzip a.gz bad.gz a.gz",
         successLine("a.gz", "d/a.gz.gz") + badFormat + errorLine("a.gz", "Output file d/a.gz.gz already exists."), 2, {"d/a.gz.gz"}},
        {"$Q -q -f --outdir d a.gz bad.gz a.gz", badFormat, 2, {"d/a.gz.zip"}},
        {"ln -s bad.gz l && $Q -f -o l a.gz && test ! -L l && cat bad.gz >&2", successLine("a.gz", "l") + "not gzip", 0, {"l"}},
        {"$Q -f -o d a.gz", errorLine("a.gz", "Output file d already exists."), 2, {}},
        // Never onto the input itself, by its own path, a hard link or a symbolic link to it.
        {"ln a.gz a.gz.zlib; ln -s a.gz l; for o in '-o a.gz' '-f -o ./a.gz' '-f --outdir=.' '-f -o l'; do $Q -q --zlib $o a.gz; done; gzip -t a.gz",
         isInput + isInput + isInput + isInput, 0, {"a.gz.zlib", "l"}},
        // Standard input has no mode or time to keep: the output gets a new file's.
        {"umask 002; cat a.gz | $Q -q -o x.zip - && find x.zip -mmin -9 -perm 664 >&2", "x.zip\n", 0, {"x.zip"}},
        {"ln -s nowhere a.gz.zlib && $Q --zlib a.gz", errorLine("a.gz", "Output file a.gz.zlib already exists."), 2, {"a.gz.zlib"}},
        // Opening never waits on a FIFO, and nothing but a regular file is read.
        {"$Q /proc/self/mem", errorLine("/proc/self/mem", "Input file is truncated or unreadable."), 2, {}},  // an I/O error
        {"mkfifo f && $Q f d /dev/null", errorLine("f", "Input file is truncated or unreadable.") + errorLine("d", "Input file is "
         "truncated or unreadable.") + errorLine("/dev/null", "Input file is truncated or unreadable."), 2, {"f"}},
        {"$Q -t --zlib a.gz bad.gz o.zip", "a.gz - SUCCESS: Checked.\n" + badFormat + "o.zip - SUCCESS: Checked.\n", 2, {}},
        {"$Q --test --png h.png a.gz", errorLine("a.gz", "Header PNG h.png doesn't fit the image data."), 2, {}},
        {"$Q -q -c -t a.gz", "", 0, {}},
        {"$Q -qc a.gz >c", "", 0, {"c"}},
        {"touch a.gz.zip && $Q -t a.gz", "a.gz - SUCCESS: Checked.\n", 0, {"a.gz.zip"}},  // a check writes nothing
        {"$Q -t --entry none o.zip", errorLine("o.zip", "The ZIP archive holds no file entry none."), 2, {}},
        {"$Q -c a.gz >c", "a.gz - SUCCESS: Written to standard output.\n", 0, {"c"}},
        {"$Q -c crc.gz | wc -c >&2", errorLine("crc.gz", "Checksum mismatch: the stream doesn't match its stored checksum.") + "0\n", 0, {}},
        {"$Q -c a.gz >/dev/full", cantWrite, 2, {}},
        {"trap '' PIPE; ($Q -c a.gz; echo $? >&2) | head -c 1 >/dev/null", cantWrite + "2\n", 0, {}},
        {"trap '' PIPE; (env --default-signal=PIPE $Q -c a.gz; echo $? >&2) | head -c 1 >/dev/null", "141\n", 0, {}},
        {"ulimit -f 64; $Q -c a.gz | wc -c >&2", cantWrite + "0\n", 0, {}},
        {"ulimit -f 64; $Q a.gz a.gz", errorLine("a.gz", "Couldn't write output file a.gz.zip.") + errorLine("a.gz", "Couldn't write output file a.gz.zip."), 2, {}},
        {"ulimit -f 64; cat a.gz 2>/dev/null | $Q -o o -", errorLine("-", "Couldn't write output file o."), 2, {}},
        // Every entry to its own output, none through the link in its folder (into d), the others written.
        {"mkdir -p z/f && echo 1 >z/a && echo 2 >z/f/b && (cd z && zip -qr ../z.zip a f) && rm -r z && mkdir z && ln -s ../d z/f && $Q --all-entries z.zip",
         successLine("z.zip:a", "z/a.zip") + errorLine("z.zip:f/b", "Output file z/f/b.zip already exists."), 2, {"z", "z.zip"}},
        // Each entry in its own folder, whatever folder the one before went into; a folder that can't be made fails each entry in it.
        {"mkdir -p z/d/f/h z/e z/k.zip && touch z/d/a z/e/b z/d/f/c z/d/f/h/i z/d/g z/k z/k.zip/m z/k.zip/n && cd z && zip -qD ../z.zip d/a "
         "e/b d/f/c d/f/h/i d/g k k.zip/m k.zip/n && cd .. && rm -r z && $Q -q --all-entries z.zip; find z -type f | sort >&2",
         errorLine("z.zip:k.zip/m", "Output file z/k.zip/m.zip already exists.") + errorLine("z.zip:k.zip/n", "Output file z/k.zip/n.zip "
         "already exists.") + "z/d/a.zip\nz/d/f/c.zip\nz/d/f/h/i.zip\nz/d/g.zip\nz/e/b.zip\nz/k.zip\n", 0, {"z", "z.zip"}},
        {"d=$(seq -s/ 40) && mkdir -p z/$d && touch z/$d/j z/k && cd z && zip -qD ../z.zip $d/j k && cd .. && rm -r z && ulimit -n 32 && "
         "$Q -q --all-entries z.zip; find z -type f | wc -l >&2", "2\n", 0, {"z", "z.zip"}},  // a few folders kept open, however deep
        {"ulimit -f 1; $Q --gzip o.zip", errorLine("o.zip", "Couldn't write output file o.zip.gz."), 2, {}},  // a small output's one write
        {"TZ=JST-9 $Q -q --gzip -o j o.zip && TZ=UTC $Q -q --gzip o.zip && cmp -s j o.zip.gz || echo differ >&2", "differ\n", 0, {"j", "o.zip.gz"}},
        {"$Q --all-entries --entry a o.zip", "ERROR: Give only one of --entry and --all-entries.\n", 1, {}},
        {"$Q -o x a.gz a.gz", errorLine("a.gz", "The archive already holds an entry named a."), 2, {}},
        {"$Q -c --png h.png a.gz o.zip", "ERROR: -c with --png takes exactly one input file.\n", 1, {}},
        {"$Q --zip -", "ERROR: Standard input (-) needs -o or -c.\n", 1, {}},
        {"$Q a.gz -o", "ERROR: Option -o needs a path.\n", 1, {}},
        {"$Q -c --outdir=d a.gz", "ERROR: Give only one of -o, --outdir and -c.\n", 1, {}},
        {"$Q --version >/dev/full", "ERROR: Couldn't write to standard output.\n", 1, {}},
        {"script -qfec '$Q -c a.gz 2>&3' /dev/null 3>&2 >/dev/null", "ERROR: Standard output is a terminal: redirect it, or use -o.\n", 1, {}},
        {"script -qfec '$Q -o x - 2>&3' /dev/null 3>&2 >/dev/null", "ERROR: Standard input is a terminal: pipe or redirect the file into it.\n", 1, {}},
        {"script -qfec '$Q -c a.gz 2>&3 | cat >c' /dev/null 3>&2 >/dev/null", "a.gz - SUCCESS: Written to standard output.\n", 0, {"c"}},
    };
    for (const auto& [command, err, exitCode, added] : cases) {
        const Workspace space;
        const RunResult run = space.run(command);
        EXPECT_EQ(run.err, (command.find("$Q -q") == std::string::npos ? banner : "") + err) << command;
        EXPECT_EQ(run.exitCode, exitCode) << command;
        EXPECT_EQ(run.out, "") << command;
        EXPECT_EQ(space.added(), added) << command;
    }
}

// Standard output and standard input (a pipe, staged) give the bytes a file-to-file run gives, for
// every container read and written; only a name derived from standard input differs.
TEST(Outputs, PosixEveryContainerThroughStandardInputAndOutput) {
    const Workspace space;
    // h.png and s.zlib carry no time and no name: only outputs that need neither.
    const std::pair<std::string, std::vector<std::string>> inputs[] = {{"a.gz", {"--gzip", "--zip", "--zlib"}},
        {"o.zip", {"--gzipname", "--zip", "--zlib", "--png=h.png"}}, {"h.png", {"--zlib", "--png h.png"}}, {"s.zlib", {"--zlib"}}};
    for (const auto& [input, formats] : inputs) {
        for (const std::string& format : formats) {
            const std::string q = "$Q -q " + format, stem = input.substr(0, input.find('.'));
            const RunResult run = space.run(q + " -o ref " + input + " && " + q + " -c " + input + " >c && cat " + input + " | " +
                                            q + " -o " + stem + ".x - && cat " + input + " | " + q + " -c - >p && cmp ref c && cmp ref " +
                                            stem + ".x && rm " + stem + ".x && { cmp ref p || test " + format + " = --zip; } && rm ref c p");
            EXPECT_EQ(run.exitCode, 0) << input << " " << format << run.out << run.err;
            ASSERT_EQ(space.added(), std::vector<std::string>{}) << input << " " << format;
        }
    }
    // The name standard input stores: the -o path less its extension, or "-".
    ASSERT_EQ(space.run("cat a.gz | $Q --gzipname -o d/n.x.gz - && cat a.gz | $Q --gzipname -c - >c").exitCode, 0);
    const Bytes fromPath = readFile(space.dir.file("d/n.x.gz"));
    EXPECT_EQ(Bytes(fromPath.begin() + 10, fromPath.begin() + 14), bytesOf(std::string("n.x\0", 4)));
    EXPECT_EQ(readFile(space.dir.file("c"))[10], '-');
    // Every entry of an archive read from standard input, as from the file.
    EXPECT_EQ(space.run("$Q -q -o two.zip a.gz s.zlib && cat two.zip | $Q -q --all-entries --gzip -o j.gz - && "
                        "$Q -q --all-entries --gzip -o k.gz two.zip && cmp j.gz k.gz").exitCode, 0);
}
