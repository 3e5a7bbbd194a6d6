// Names for units and groups (--aliases): the lines the file may hold and
// the trouble said for those it may not; which line names an ident; the
// names in the JSON lines, the database and the recorded calls' file names
// while the console stays as it was; a file changed while the program runs.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "db/db.h"
#include "harness.h"
#include "names/names.h"
#include "procs.h"
#include "sdr/sdr.h"

namespace {

using json = nlohmann::json;

TEST(Names, LinesOfTheFile)
{
    struct {
        const char* text;
        const char* trouble;  // empty: read
        std::vector<std::string> read;  // "sys prefix low-high name" of every entry, in file order
    } cases[] = {
        {"0x1234,7,1001,Taxi base\n", "", {"4660 7 1001-1001 Taxi base"}},
        {"  0X00aB , 0 , 10 - 20 ,  Cars  \r\n", "", {"171 0 10-20 Cars"}},
        {"*,127,0-8191,Everyone", "", {"-1 127 0-8191 Everyone"}},
        {"\xef\xbb\xbf# comment\n\n   # another, with, commas\n*,1,2,\"Cars, \"\"north\"\"\"\n", "",
         {"-1 1 2-2 Cars, \"north\""}},
        {"*,1,2,\"</script><b>\" \n*,1,3,Z\xc3\xbcrich\n", "", {"-1 1 2-2 </script><b>", "-1 1 3-3 Z\xc3\xbcrich"}},
        {"*,1,2,a#b\n", "", {"-1 1 2-2 a#b"}},
        {"*,1,2\n", "line 1: 3 fields, not 4 (system, prefix, ident or range, name)", {}},
        {"# ok\n*,1,2,x,y\n", "line 2: 5 fields, not 4 (system, prefix, ident or range, name)", {}},
        {"1234,1,2,x\n", "line 1: the system '1234' is not * or a hex identity such as 0x1234", {}},
        {"0x12345,1,2,x\n", "line 1: the system '0x12345' is not * or a hex identity such as 0x1234", {}},
        {"*,128,2,x\n", "line 1: the prefix '128' is not a number from 0 to 127", {}},
        {"*,-1,2,x\n", "line 1: the prefix '-1' is not a number from 0 to 127", {}},
        {"*,1,8192,x\n", "line 1: the ident '8192' is not a number from 0 to 8191 or a range such as 1001-1099", {}},
        {"*,1,20-10,x\n", "line 1: the ident '20-10' is not a number from 0 to 8191 or a range such as 1001-1099", {}},
        {"*,1,2x,x\n", "line 1: the ident '2x' is not a number from 0 to 8191 or a range such as 1001-1099", {}},
        {"*,1,2,\"open\n", "line 1: a quote is not closed", {}},
        {"*,1,2,\"a\"b\n", "line 1: text after a closing quote", {}},
        {"*,1,2,  \n", "line 1: the name is empty", {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        std::vector<name_entry_t> got;
        std::string why;
        EXPECT_EQ(names_parse(c.text, &got, &why), std::string(c.trouble).empty());
        EXPECT_EQ(why, c.trouble);
        std::vector<std::string> read;
        for (const name_entry_t& e : got)
            read.push_back(std::to_string(e.sys) + " " + std::to_string(e.prefix) + " " +
                           std::to_string(e.low) + "-" + std::to_string(e.high) + " " + e.name);
        EXPECT_EQ(read, c.read);
    }
}

TEST(Names, TheLineThatNamesAnIdent)
{
    temp_dir_t dir;
    write_file(dir.file("a.csv"),
               "*,7,1000-1999,wide\n"
               "*,7,1100-1199,narrow\n"
               "0x1234,7,1000-1999,system wide\n"
               "*,7,1150,first\n"
               "*,7,1150,second\n"
               "0x00ff,8,5,other system\n");
    ASSERT_EQ(names_open(dir.file("a.csv").c_str()), 0);
    struct {
        int sys;
        unsigned prefix, ident;
        const char* name;  // nullptr: none
    } cases[] = {
        {0x1234, 7, 1500, "system wide"},  // its system's line before a * line
        {0x1234, 7, 1150, "system wide"},
        {0x4321, 7, 1500, "wide"},
        {0x4321, 7, 1120, "narrow"},       // the narrower range
        {0x4321, 7, 1150, "first"},        // of equal lines, the first
        {-1, 7, 1150, "first"},            // before the first identity: * lines only
        {-1, 8, 5, nullptr},
        {0x00ff, 8, 5, "other system"},
        {0x4321, 7, 999, nullptr},
        {0x4321, 6, 1500, nullptr},
    };
    for (const auto& c : cases) {
        const std::string* got = names_lookup(c.sys, c.prefix, c.ident);
        EXPECT_EQ(got ? got->c_str() : std::string("(none)"), c.name ? c.name : std::string("(none)"))
            << c.sys << " " << c.prefix << " " << c.ident;
    }
    struct {
        std::string name, safe;
    } files[] = {
        {"Taxi base", "Taxi-base"},
        {"../../etc/passwd", "etc-passwd"},
        {"C:\\radio\\x", "C-radio-x"},
        {"tab\there\nnl\x01", "tab-here-nl"},
        {"Z\xc3\xbcrich", "Z-rich"},
        {"...", ""},
        {std::string(60, 'a'), std::string(40, 'a')},
        {"\"quoted\" <b>", "quoted-b"},
    };
    for (const auto& f : files)
        EXPECT_EQ(names_file_safe(f.name), f.safe) << f.name;
    names_reset();
    input_remove_tickers();
}

// Traffic with voice calls between named and unnamed parties, and
// acknowledgements that name them too.
std::string named_traffic()
{
    std::string s;
    for (int k = 0; k < 60; k++) {
        s += "ccsc 0x1234\n";
        if (k == 5)
            s += "gtc pfix=7 ident1=1001 ident2=1150 chan=10\n";
        else if (k == 20)
            s += "clear chan=10 cont=1\n";
        else if (k == 25)
            s += "gtc pfix=7 ident1=2000 ident2=1101 chan=11\n";
        else if (k == 40)
            s += "clear chan=11 cont=1\n";
        else
            s += "ack pfix=7 ident1=1001 ident2=3\n";
    }
    return s;
}

const char* aliases =
    "# names\n"
    "0x1234, 7, 1001, \"Taxi \"\"base\"\", <b>\"\n"
    "*, 7, 1100-1199, Cars/north\n";

// Names in the records (after their ident), in the database, never on the
// console; records without a match are as without --aliases.
TEST(Names, InTheRecordsAndTheDatabaseNotOnTheConsole)
{
    temp_dir_t dir;
    write_file(dir.file("solvane.ini"), "[general]\nFILTER=5\n[rs232]\nRADIO=0\n");
    write_file(dir.file("a.csv"), aliases);
    std::string audio = render_u8(named_traffic());
    run_result_t plain = run_program(marrowit_path(), {"-q", "--json", "plain.jsonl", "-"}, dir.path, audio);
    std::vector<std::string> args = {"-q", "--aliases", "a.csv", "--json", "named.jsonl", "-"};
    if (db_available)
        args.insert(args.begin(), {"--db", "c.db"});
    run_result_t named = run_program(marrowit_path(), args, dir.path, audio);
    ASSERT_EQ(named.status, 0) << named.err;
    EXPECT_EQ(named.err, "");
    EXPECT_EQ(mask_times(named.out), mask_times(plain.out));
    std::vector<std::string> a = lines_of(read_file(dir.file("plain.jsonl")));
    std::vector<std::string> b = lines_of(read_file(dir.file("named.jsonl")));
    ASSERT_EQ(a.size(), b.size());
    const std::string taxi = ",\"ident1_name\":\"Taxi \\\"base\\\", <b>\"";
    size_t named_records = 0;
    for (size_t k = 0; k < a.size(); k++) {
        std::string expected = a[k].substr(a[k].find("\"offset\""));
        json o = json::parse(a[k]);
        if (o.contains("ident1") && o["ident1"] == 1001)
            expected.insert(expected.find(",\"ident2\""), taxi);
        if (o.contains("ident2") && (o["ident2"] == 1150 || o["ident2"] == 1101))
            expected.insert(expected.find(",\"channel\""), ",\"ident2_name\":\"Cars/north\"");
        named_records += expected.size() != a[k].size() - a[k].find("\"offset\"");
        EXPECT_EQ(b[k].substr(b[k].find("\"offset\"")), expected);
    }
    EXPECT_GT(named_records, 50u);
    if (db_available) {
        ASSERT_EQ(db_open(dir.file("c.db").c_str()), 0);
        std::vector<event_t> calls;
        ASSERT_EQ(db_call_history(call_query_t{}, &calls), 2);
        const event_field_t* n1 = event_field(calls[1], "ident1_name");
        const event_field_t* n2 = event_field(calls[1], "ident2_name");
        ASSERT_TRUE(n1 && n2);
        EXPECT_EQ(n1->text, "Taxi \"base\", <b>");
        EXPECT_EQ(n2->text, "Cars/north");
        EXPECT_EQ(event_field(calls[0], "ident1_name"), nullptr);
        EXPECT_EQ(event_field(calls[0], "ident2_name")->text, "Cars/north");
        db_reset();
    }
}

TEST(Names, BadFileAtTheStartEndsTheProgram)
{
    temp_dir_t dir;
    write_file(dir.file("solvane.ini"), "[rs232]\nRADIO=0\n");
    write_file(dir.file("a.csv"), "# names\n*,7,1001,ok\n*,300,1,bad\n");
    run_result_t r = run_program(marrowit_path(), {"-q", "--aliases", "a.csv", "-"}, dir.path, "");
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.err, "marrowit: a.csv line 3: the prefix '300' is not a number from 0 to 127\n");
    r = run_program(marrowit_path(), {"-q", "--aliases", "missing.csv", "-"}, dir.path, "");
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.err, "marrowit: missing.csv cannot be read: No such file or directory\n");
}

// The file is read again when it changes; a bad version keeps the names
// read before.
TEST(Names, ReadAgainWhenChanged)
{
    temp_dir_t dir;
    write_file(dir.file("solvane.ini"), "[general]\nFILTER=5\n[rs232]\nRADIO=0\n");
    write_file(dir.file("a.csv"), "*,7,1001,first\n");
    child_t marrowit;
    marrowit.start(command_line(marrowit_path(), {"-q", "--aliases", "a.csv", "--json", "j.jsonl", "-"}), dir.path,
                   dir.file("out"), dir.file("err"), true);
    // Each part: a second of idle slots (the check comes with them), then a call.
    auto part = [&](int ident2) {
        std::string s;
        for (int k = 0; k < 12; k++)
            s += "ccsc 0x1234\nack pfix=1 ident1=2 ident2=3\n";
        s += "ccsc 0x1234\ngtc pfix=7 ident1=1001 ident2=" + std::to_string(ident2) + " chan=10\n";
        s += "ccsc 0x1234\nclear chan=10 cont=1\n";
        for (int k = 0; k < 4; k++)  // the CLEAR through the reader's buffer
            s += "ccsc 0x1234\nack pfix=1 ident1=2 ident2=3\n";
        return render_u8(s);
    };
    auto names_of_call = [&](int ident2) {
        std::string got = "(no call)";
        for (const std::string& l : lines_of(read_file(dir.file("j.jsonl")))) {
            json o = json::parse(l);
            if (o["type"] == "call_end" && o["ident2"] == ident2)
                got = o.value("ident1_name", "(none)") + "/" + o.value("ident2_name", "(none)");
        }
        return got;
    };
    struct {
        const char* file;  // written before the part
        int ident2;        // of the part's call
        const char* names;
        const char* said;
    } steps[] = {
        {nullptr, 11, "first/(none)", ""},
        {"*,7,1001,second\n*,7,10-19,teen\n", 12, "second/teen", ""},
        {"*,7,1001,third\n*,7,1x,bad\n", 13, "second/teen",
         "marrowit: a.csv line 2: the ident '1x' is not a number from 0 to 8191 or a range such as "
         "1001-1099; keeping the names read before\n"},
        {"# none\n", 14, "(none)/(none)", ""},
    };
    std::string said;
    for (const auto& s : steps) {
        SCOPED_TRACE(s.names);
        if (s.file) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1100));
            write_file(dir.file("a.csv"), s.file);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1100));
        int ident2 = s.ident2;
        marrowit.write(part(ident2));
        EXPECT_TRUE(eventually([&] { return names_of_call(ident2) != "(no call)"; }, 10));
        EXPECT_EQ(names_of_call(ident2), s.names);
        said += s.said;
        EXPECT_EQ(read_file(dir.file("err")), said);
    }
    EXPECT_EQ(marrowit.wait(), 0);
}

// A recorded call's file name carries the parties' names, made safe.
TEST(Names, InTheFileNamesOfRecordedCalls)
{
    if (!sdr_can_demodulate)
        GTEST_SKIP() << "no IQ input in this build";
    temp_dir_t dir;
    run_result_t g = run_program(mptgen_path(),
                                 {"-t", "cu8", "--center", "420250000", "--snr", "30", "-o",
                                  dir.file("site.cu8"), "-"},
                                 "",
                                 "ccsc 0x1234\ngtc pfix=7 ident1=1001 ident2=1150 chan=42\npreamble 300\n"
                                 "ccsc 0x1234\ngtc pfix=7 ident1=2000 ident2=3 chan=60\npreamble 300\n");
    ASSERT_EQ(g.status, 0) << g.err;
    write_file(dir.file("solvane.ini"), "[general]\nTARGET_PREF=9999\n[rs232]\nRADIO=0\n");
    write_file(dir.file("a.csv"), aliases);
    run_result_t r = run_program(marrowit_path(),
                                 {"-q", "--center", "420250000", "--record", "calls", "--aliases",
                                  "a.csv", "iq:site.cu8"},
                                 dir.path);
    ASSERT_EQ(r.status, 0) << r.err;
    std::vector<std::string> names = files_in(dir.file("calls"));
    ASSERT_EQ(names.size(), 2u);
    EXPECT_EQ(names[0].substr(16), "_1234_ch42_7-1001_Taxi-base-b_from_1150_Cars-north.wav");
    EXPECT_EQ(names[1].substr(16), "_1234_ch60_7-2000_from_3.wav");
}

}  // namespace
