// The writers of tools/format: random text through each writer and back
// through a real parser (Python's json, xml.etree and csv), and the rules
// a reader relies on (formula guard, numbers, table lines).
#include <gtest/gtest.h>
#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "format/csv.h"
#include "format/json.h"
#include "format/output.h"
#include "format/table.h"
#include "format/text.h"
#include "format/xml.h"

namespace {

const std::string R = format::kReplacement;

// A piece of random text: its bytes and what a parser reads back from each
// format (they differ where a format cannot carry a character).
struct Piece {
    std::string bytes, json, xml, csv;
};

Piece same(const std::string &s) { return {s, s, s, s}; }

// Valid UTF-8 with every control character, quotes and markup, and bytes
// that are not UTF-8 at all.
Piece randomPiece(std::mt19937 &rng) {
    static const std::vector<Piece> special = {
        same("\""), same("\\"), same("'"), same("<"), same(">"), same("&"), same(","), same("="),
        same("+"), same("-"), same("@"), same(" "), same("\t"), same("\n"), same("\r"), same("\x7f"),
        same("\xc3\xa9"), same("\xe2\x82\xac"), same("\xf0\x90\x8d\x88"), same("\xed\x9f\xbf"),
        {"\xef\xbf\xbe", "\xef\xbf\xbe", R, "\xef\xbf\xbe"},            // U+FFFE: not in XML
        {"\xff", R, R, R},                                              // never UTF-8
        {"\xc0\x80", R + R, R + R, R + R},                              // overlong NUL
        {"\xed\xa0\x80", R + R + R, R + R + R, R + R + R},              // a surrogate
        {"\xf4\x90\x80\x80", R + R + R + R, R + R + R + R, R + R + R + R},  // above U+10FFFF
    };
    unsigned k = rng() % 10;
    if (k < 4) return same(std::string(1, (char)(0x20 + rng() % 0x5f)));
    if (k < 6) {
        char c = (char)(rng() % 0x20);
        bool xmlOk = c == '\t' || c == '\n' || c == '\r';
        return {std::string(1, c), std::string(1, c), xmlOk ? std::string(1, c) : R, std::string(1, c)};
    }
    return special[rng() % special.size()];
}

Piece randomText(std::mt19937 &rng, size_t maxPieces) {
    Piece t;
    size_t n = rng() % (maxPieces + 1);
    for (size_t i = 0; i < n; i++) {
        Piece p = randomPiece(rng);
        t.bytes += p.bytes, t.json += p.json, t.xml += p.xml, t.csv += p.csv;
    }
    return t;
}

std::string hex(const std::string &s) {
    static const char d[] = "0123456789abcdef";
    std::string h;
    for (unsigned char c : s) h += d[c >> 4], h += d[c & 15];
    return h;
}

// The helper's lines for doc written as `kind`.
std::vector<std::string> parseBack(const char *kind, const std::string &doc) {
    std::string path = testing::TempDir() + "format_doc." + kind;
    std::ofstream(path, std::ios::binary) << doc;
    std::string cmd = std::string("/usr/bin/python3 " RFPROBE_PARSE_BACK " ") + kind + " " + path;
    FILE *p = popen(cmd.c_str(), "r");
    std::vector<std::string> lines;
    if (!p) return lines;
    char buf[1 << 16];
    while (fgets(buf, sizeof buf, p)) {
        std::string l = buf;
        if (!l.empty() && l.back() == '\n') l.pop_back();
        lines.push_back(l);
    }
    EXPECT_EQ(pclose(p), 0) << kind << " document did not parse:\n" << doc;
    std::remove(path.c_str());
    return lines;
}

constexpr int kRounds = 20;

TEST(FormatProperty, JsonKeysAndValuesReadBackAsWritten) {
    std::mt19937 rng(1060);
    for (int round = 0; round < kRounds; round++) {
        format::Json j(round % 2 == 0);
        std::vector<std::string> want;
        j.open('{');
        for (int i = 0; i < 30; i++) {
            Piece k = randomText(rng, 12), v = randomText(rng, 40);
            j.key(k.bytes), j.str(v.bytes);
            want.push_back(hex(k.json)), want.push_back(hex(v.json));
        }
        j.close('}');
        std::string doc = j.done();
        ASSERT_EQ(parseBack("json", doc), want) << doc;
    }
}

TEST(FormatProperty, JunitNamesPropertiesAndMessagesReadBackAsWritten) {
    std::mt19937 rng(1062);
    for (int round = 0; round < kRounds; round++) {
        std::vector<format::JunitSuite> suites(3);
        std::vector<std::string> want;
        for (format::JunitSuite &s : suites) {
            Piece name = randomText(rng, 20);
            s.name = name.bytes, want.push_back(hex(name.xml));
            for (int i = 0; i < 5; i++) {
                Piece k = randomText(rng, 10), v = randomText(rng, 30);
                s.properties.push_back({k.bytes, v.bytes});
                want.push_back(hex(k.xml)), want.push_back(hex(v.xml));
            }
            for (int i = 0; i < 5; i++) {
                Piece n = randomText(rng, 20), m = randomText(rng, 30), d = randomText(rng, 60);
                format::JunitCase c;
                c.name = n.bytes, c.message = m.bytes, c.detail = d.bytes;
                c.outcome = format::JunitCase::Failure;
                s.cases.push_back(c);
                want.push_back(hex(n.xml)), want.push_back(hex(m.xml)), want.push_back(hex(d.xml));
            }
        }
        std::string doc = format::junitXml(suites);
        ASSERT_EQ(parseBack("xml", doc), want) << doc;
    }
}

TEST(FormatProperty, CsvCellsReadBackAsWrittenOrGuarded) {
    std::mt19937 rng(1064);
    for (int round = 0; round < kRounds; round++) {
        std::string doc;
        std::vector<std::string> cells;
        for (int row = 0; row < 20; row++) {
            std::vector<std::string> r;
            for (int i = 0; i < 6; i++) {
                Piece c = randomText(rng, 15);
                r.push_back(c.bytes), cells.push_back(c.csv);
            }
            format::csvRow(&doc, r);
        }
        std::vector<std::string> got = parseBack("csv", doc);
        ASSERT_EQ(got.size(), cells.size()) << doc;
        for (size_t i = 0; i < got.size(); i++) {
            const std::string &c = cells[i];
            bool risky = !c.empty() && std::string("=+-@\t\r").find(c[0]) != std::string::npos &&
                         !format::parseNumber(c);
            EXPECT_EQ(got[i], hex(risky ? "'" + c : c)) << "cell " << i << " of\n" << doc;
        }
    }
}

// A table's rows stay one line each, whatever the cells hold, and every
// column starts at the same character on every line.
TEST(FormatProperty, TableRowsStayOneAlignedLineEach) {
    std::mt19937 rng(1066);
    for (int round = 0; round < kRounds; round++) {
        format::Table t({{"A"}, {"B", true}, {"C"}});
        std::vector<std::vector<std::string>> rows;
        for (int i = 0; i < 8; i++) {
            std::vector<std::string> r = {randomText(rng, 8).bytes, std::to_string(rng() % 100000),
                                          "x" + randomText(rng, 8).bytes};
            rows.push_back(r);
            t.row(r);
        }
        std::string text = t.text();
        std::vector<std::string> lines;
        std::istringstream in(text);
        for (std::string l; std::getline(in, l);) lines.push_back(l);
        ASSERT_EQ(lines.size(), rows.size() + 1) << text;
        size_t bEnd = std::string::npos, cStart = std::string::npos;
        for (size_t i = 1; i < lines.size(); i++) {
            const std::string &l = lines[i];
            for (unsigned char c : l) EXPECT_TRUE(c >= 0x20 && c != 0x7f) << text;
            // Column B is right-aligned: it ends where C starts, less two.
            std::string b = rows[i - 1][1], c = format::oneLine(rows[i - 1][2]);
            while (c.back() == ' ') c.pop_back();  // the line's trailing blanks are cut
            size_t at = l.rfind("  " + b + "  " + c);
            ASSERT_NE(at, std::string::npos) << l;
            size_t end = format::textWidth(l.substr(0, at)) + 2 + b.size();
            size_t start = end + 2;
            if (i == 1) bEnd = end, cStart = start;
            EXPECT_EQ(end, bEnd) << text;
            EXPECT_EQ(start, cStart) << text;
        }
    }
}

TEST(Csv, FormulaGuardAndQuoting) {
    struct Case {
        const char *in, *out;
    } cases[] = {
        {"plain", "plain"},
        {"", ""},
        {"a,b", "\"a,b\""},
        {"say \"hi\"", "\"say \"\"hi\"\"\""},
        {"two\nlines", "\"two\nlines\""},
        {" padded", "\" padded\""},
        {"=HYPERLINK(\"x\")", "\"'=HYPERLINK(\"\"x\"\")\""},
        {"+1+2", "'+1+2"},
        {"-1+2", "'-1+2"},
        {"@SUM(A1:A9)", "'@SUM(A1:A9)"},
        {"\tx", "'\tx"},
        {"-372", "-372"},
        {"-1.5e-05", "-1.5e-05"},
        {"a=b", "a=b"},
    };
    for (const Case &c : cases) EXPECT_EQ(format::csvCell(c.in), c.out) << c.in;
}

// A tester's text made fit for a record, and text that snprintf cut.
TEST(Text, ForeignBytesBecomePrintableUtf8CutBetweenCharacters) {
    struct Case {
        std::string in;
        size_t max;
        std::string out;
    } cases[] = {
        {"Maker,Model \xb0" "C,1,2", 100, "Maker,Model \xc2\xb0" "C,1,2"},  // Latin-1
        {"a\xc3\xa9\xe2\x82\xac\xf0\x90\x8d\x88", 100, "a\xc3\xa9\xe2\x82\xac\xf0\x90\x8d\x88"},  // valid kept
        {"ab\xc3\xa9", 3, "ab"},                      // a 2-byte character does not fit
        {"a\xe2\x82\xac", 3, "a"},                    // nor a 3-byte one
        {"ab\xb0", 3, "ab"},                          // nor a Latin-1 byte, 2 bytes in UTF-8
        {"a\xe2\x82", 100, "a\xc3\xa2 "},             // a cut 3-byte character: Latin-1, C1 a space
        {"x\ty\rz\n", 100, "x y z "},                 // TAB and line ends
        {"x\x7fy\x01", 100, "x y "},                  // DEL and another control
        {"x\xc2\x85y", 100, "x y"},                   // a C1 control in UTF-8
        {"\xed\xa0\x80", 100, "\xc3\xad\xc2\xa0 "},  // a surrogate is no UTF-8
    };
    for (const Case &c : cases) EXPECT_EQ(format::printableUtf8(c.in, c.max), c.out) << hex(c.in);

    struct Cut {
        std::string in, out;
    } cuts[] = {
        {"ab\xc3", "ab"}, {"a\xe2\x82", "a"}, {"a\xf0\x90\x8d", "a"},
        {"a\xc3\xa9", "a\xc3\xa9"}, {"a\xf0\x90\x8d\x88", "a\xf0\x90\x8d\x88"}, {"abc", "abc"}, {"", ""},
    };
    for (const Cut &c : cuts) EXPECT_EQ(format::withoutCutTail(c.in), c.out) << hex(c.in);
}

TEST(Numbers, ShortestRoundTripAndFixed) {
    struct Case {
        double d;
        const char *shortest, *threeDecimals;
    } cases[] = {
        {1000, "1000", "1000.000"},      {0.25, "0.25", "0.250"},  {-372, "-372", "-372.000"},
        {100000, "100000", "100000.000"}, {0.0001, "0.0001", "0.000"},
        {0.30000000000000004, "0.30000000000000004", "0.300"},
        {0.1, "0.1", "0.100"},           {1.5e-05, "1.5e-05", "0.000"},
        {2.0105, "2.0105", "2.010"},     {1e20, "1e+20", "100000000000000000000.000"},
    };
    for (const Case &c : cases) {
        EXPECT_EQ(format::number(c.d), c.shortest);
        EXPECT_EQ(format::fixed(c.d, 3), c.threeDecimals);
        EXPECT_EQ(format::parseNumber(c.shortest), c.d);
    }
    for (const char *bad : {"", "1,5", "0.5x", " 1", "0x10"}) EXPECT_FALSE(format::parseNumber(bad)) << bad;
}

// Output files: whole or not at all, a device written to and never
// replaced, a link kept, and two writers of one path at once each on a
// temporary file of its own.
TEST(OutputFile, WholeOrNotAtAll) {
    char dirTemplate[] = "/tmp/rfprobe-output-XXXXXX";
    ASSERT_NE(mkdtemp(dirTemplate), nullptr);
    const std::string dir = dirTemplate, path = dir + "/out.txt";
    auto slurp = [](const std::string &p) {
        std::ifstream f(p, std::ios::binary);
        std::stringstream b;
        b << f.rdbuf();
        return b.str();
    };
    auto entries = [&] {
        std::vector<std::string> names;
        DIR *d = opendir(dir.c_str());
        while (dirent *e = d ? readdir(d) : nullptr)
            if (e->d_name[0] != '.') names.push_back(e->d_name);
        if (d) closedir(d);
        std::sort(names.begin(), names.end());
        return names;
    };
    std::ofstream(path) << "previous\n";

    {  // Given up half-way: the previous file stays, no temporary file.
        format::OutputFile f(path);
        f.stream() << std::string(200000, 'x');
    }
    EXPECT_EQ(slurp(path), "previous\n");
    EXPECT_EQ(entries(), std::vector<std::string>{"out.txt"});

    {  // Two writers at once, committed in the other order: the last wins whole.
        format::OutputFile a(path), b(path);
        a.stream() << std::string(100000, 'a');
        b.stream() << std::string(100000, 'b');
        b.commit();
        a.commit();
    }
    EXPECT_EQ(slurp(path), std::string(100000, 'a'));
    EXPECT_EQ(entries(), std::vector<std::string>{"out.txt"});

    // Through a link: the link stays and points at the new content.
    ASSERT_EQ(symlink("out.txt", (dir + "/link").c_str()), 0);
    format::writeOutput(dir + "/link", "through the link\n");
    struct stat st;
    ASSERT_EQ(lstat((dir + "/link").c_str(), &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode));
    EXPECT_EQ(slurp(path), "through the link\n");
    EXPECT_EQ(entries(), (std::vector<std::string>{"link", "out.txt"}));

    // A device is written to, never replaced; a full one is an error.
    format::writeOutput("/dev/null", "nothing\n");
    ASSERT_EQ(stat("/dev/null", &st), 0);
    EXPECT_TRUE(S_ISCHR(st.st_mode));
    EXPECT_THROW(format::writeOutput("/dev/full", std::string(100000, 'x')), format::OutputError);

    // Paths that can never take a file, found before any work.
    EXPECT_EQ(format::outputPathProblem(path), "");
    EXPECT_EQ(format::outputPathProblem("/dev/null"), "");
    EXPECT_NE(format::outputPathProblem(dir + "/no-such-dir/x"), "");
    EXPECT_NE(format::outputPathProblem(dir), "");
    EXPECT_NE(format::outputPathProblem(dir + "/"), "");
    EXPECT_THROW(format::OutputFile(dir + "/no-such-dir/x"), format::OutputError);

    unlink((dir + "/link").c_str());
    unlink(path.c_str());
    rmdir(dir.c_str());
}

}  // namespace
