// One recording with a message of every family, decoded by the real
// program: the whole console output and the whole log, byte for byte, and
// the JSON lines written beside them, object for object.
#include <gtest/gtest.h>

#include <cctype>
#include <cstring>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>

#include "harness.h"

namespace {

const char kScript[] =
    "ccsc 0x1234\n"
    "aloha func=0 pfix=1 ident1=2 wt=3 m=5 n=6\n"
    "ccsc 0x1234\n"
    "ack func=2 pfix=5 ident2=1234 ident1=77\n"
    "ccsc 0x1234\n"
    "req func=0 pfix=12 ident1=345 ident2=678 voice=1\n"
    "ccsc 0x1234\n"
    "bcast sysdef=0 sys=0x1234 chan=7\n"
    "ccsc 0x1234\n"
    "maint chan=42\n"
    "ccsc 0x1234\n"
    "move chan=5\n"
    "dcsc 0x1234\n"
    "sam pfix=12 ident1=345\n"
    "ccsc 0x1234\n"
    "head pfix=12 ident1=345 cwords=3 tarpfx=5 org=4321\n"
    "ccsc 0x1234\n"
    "gtc pfix=12 ident1=345 ident2=678 chan=42\n"  // reads as an ALOHA as well
    "ccsc 0x1234\n"
    "gtc data=1 pfix=12 ident1=345 ident2=678 chan=600\n"
    "ccsc 0x1234\n"
    "clear chan=300 cont=5\n";  // reads as an ALOHA as well

TEST(FamiliesEndToEnd, OneOfEachFamily)
{
    temp_dir_t dir;
    write_file(dir.file("solvane.ini"),
               "[general]\n"
               "FILTER=5\n"
               "LOG=1\n"
               "BINARY=0\n"
               "BEEP=1\n"
               "TARGET_PREF=9999\n"
               "[rs232]\n"
               "RADIO=0\n");
    run_result_t r = run_program(marrowit_path(), {"-q", "--json", "events.jsonl", "-"}, dir.path,
                                 render_u8(kScript));
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");

    const std::string bs12(12, '\b'), bs17(17, '\b'), bs11(11, '\b');
    const std::string ccsc = "- CCSC | Control Channel System Codeword|   SYS Id: 0x1234\n";
    const std::string start =
        "\n"
        "  === Marrowit - MPT1327 Trunking-Decoder - QX9ZA ===  <TIME>\n"
        "\n"
        "***************************    Protocol-Decoder    ***************************\n"
        "  SYS 0x1234  | Unregistered | CCh-Frequency: 420.0000 MHz\n"
        "******************************************************************************\n"
        "\n";
    const std::string aloha = "-  ALH | General single Codeword        | (1) Id:2 WT:3 RSVD:0 M:5 N:6\n";
    const std::string ack = "- ACKQ | Acknowledge, call queued :-(   | (  5)  Org: 1234       Tar:   77\n";
    const std::string req =
        "-  RQS | Request random access          | ( 12)  Org:  678  Tar:  345 Voice\n"
        "   AHY | Availability check message     | Begin Ack a: (12) Tar:345 Voice\n";
    const std::string bcast = "- BCAST| Control Channel Marker         |   Control Ch: 7   SYS: 0x1234\n";
    const std::string maint = "- MAINT| Call maintenance message       | (Act. Chan: 42 Freq: 420.5250 MHz)\n";
    const std::string move = "- MOVE | Move to specified Control-Chan.|      ->     Ch:  5 Freq:420.0625 MHz\n";
    const std::string dcsc = "- DCSC |  Data Channel Systm Codeword   |   SYS Id: 0x1234\n";
    const std::string sam = "- SAM  | Single address messages        |    Group: (12) Tar: (345)\n";
    const std::string head = "- HEAD | Short data message             | Org:(12)4321  Tar:(5)345  Cwords: 3\n";
    const std::string gtc_aloha = "- ALHX | Messages invited, except RQR   | (12) Id:345 WT:1 RSVD:1 M:9 N:8\n";
    const std::string gtc_voice =
        "-  GTC | Go To Channel Voice            | ( 12)  Org:  678       Tar:  345 \n"
        "       | Ch: 42    Freq:420.5250 Mhz    |         <TIME>\n"
        "\n";
    const std::string gtc_data =
        "-  GTC | Go To Channel Data             | ( 12)  Org:  678       Tar:  345 \n"
        "       | Ch:600    Freq:427.5000 Mhz    |         \n";
    const std::string clear_aloha = "-  ALH | General single Codeword        | (37) Id:4101 WT:1 RSVD:1 M:10 N:10\n";
    const std::string clear =
        "- CLEAR| Call clear-down                | Ch: 300  Freq: 423.7500 \n"
        "       | CCh: 5\t\t\t| <TIME>\n"
        "\n";

    const std::string console =
        start + ccsc +
        "ALOHA       " + bs12 + "- ALOHA" + aloha + ccsc +
        ack + ccsc +
        "REQ / AHOY       " + bs17 + req + ccsc +
        "MISC       " + bs11 + bcast + ccsc +
        "MISC       " + bs11 + maint + ccsc +
        "MISC       " + bs11 + "\a" + move +
        dcsc + sam + ccsc +
        head + ccsc +
        "ALOHA       " + bs12 + "- ALOHA" + gtc_aloha + "\a" + gtc_voice + ccsc +
        gtc_data + ccsc +
        "ALOHA       " + bs12 + "- ALOHA" + clear_aloha + clear;
    EXPECT_EQ(mask_times(r.out), console);

    const std::string log =
        start + ccsc +
        aloha + ccsc +
        ack + ccsc +
        req + ccsc +
        bcast + ccsc +
        maint + ccsc +
        move +
        dcsc + sam + ccsc +
        head + ccsc +
        gtc_aloha + gtc_voice + ccsc +
        gtc_data + ccsc +
        clear_aloha + clear;
    EXPECT_EQ(mask_times(read_file(dir.file("logfile.txt"))), log);

    // One object per report line (the system header included), the calls
    // and the statistics; "time" is checked apart.
    const char* const objects[] = {
        R"({"offset":0.080,"type":"identity","sysid":4660,"name":"Unregistered","cch_freq":420.0})",
        R"({"offset":0.080,"type":"CCSC","sysid":4660})",
        R"({"offset":0.134,"type":"ALOHA","variant":"ALH","func":0,"prefix":1,"ident1":2,"wt":3,"rsvd":0,"m":5,"n":6})",
        R"({"offset":0.187,"type":"CCSC","sysid":4660})",
        R"({"offset":0.240,"type":"ACK","variant":"ACKQ","func":2,"prefix":5,"ident1":77,"ident2":1234})",
        R"({"offset":0.294,"type":"CCSC","sysid":4660})",
        R"({"offset":0.347,"type":"RQS","ahoy":"AHY","func":0,"prefix":12,"ident1":345,"ident2":678,"voice":true,"ahoy_org":false,"emergency":false})",
        R"({"offset":0.400,"type":"CCSC","sysid":4660})",
        R"({"offset":0.454,"type":"BCAST","sysdef":0,"sysid":4660,"channel":7})",
        R"({"offset":0.507,"type":"CCSC","sysid":4660})",
        R"({"offset":0.560,"type":"MAINT","channel":42,"freq":420.5250})",
        R"({"offset":0.614,"type":"CCSC","sysid":4660})",
        R"({"offset":0.667,"type":"MOVE","channel":5,"freq":420.0625})",
        R"({"offset":0.720,"type":"DCSC","sysid":4660})",
        R"({"offset":0.774,"type":"SAM","prefix":12,"ident1":345})",
        R"({"offset":0.827,"type":"CCSC","sysid":4660})",
        R"({"offset":0.880,"type":"HEAD","prefix":12,"ident1":345,"cwords":3,"tar_prefix":5,"org_ident":4321})",
        R"({"offset":0.934,"type":"CCSC","sysid":4660})",
        // The console's ALOHA line made from the GTC's channel bits has no object.
        R"({"offset":0.987,"type":"GTC","prefix":12,"ident1":345,"ident2":678,"channel":42,"freq":420.5250,"data":false,"followed":true})",
        R"({"offset":0.987,"type":"call_start","prefix":12,"ident1":345,"ident2":678,"channel":42,"freq":420.5250,"data":false,"followed":true})",
        R"({"offset":1.040,"type":"CCSC","sysid":4660})",
        R"({"offset":1.094,"type":"GTC","prefix":12,"ident1":345,"ident2":678,"channel":600,"freq":427.5000,"data":true,"followed":false})",
        R"({"offset":1.147,"type":"CCSC","sysid":4660})",
        R"({"offset":1.200,"type":"ALOHA","variant":"ALH","func":0,"prefix":37,"ident1":4101,"wt":1,"rsvd":1,"m":10,"n":10})",
        R"({"offset":1.200,"type":"CLEAR","channel":300,"cont":5,"freq":423.7500})",
        R"({"offset":1.213,"type":"call_end","prefix":12,"ident1":345,"ident2":678,"channel":42,"freq":420.5250,"data":false,"followed":true,"duration":0.226,"ended":"input_end"})",
        R"({"offset":1.213,"type":"stats","seconds":1.213,"syncs":11,"passed":22,"failed":0,"systems":["0x1234"]})",
    };
    std::istringstream lines(read_file(dir.file("events.jsonl")));
    std::string line;
    size_t n = 0;
    auto iso_utc = [](const std::string& t) {  // 2026-12-07T07:25:03.123Z
        const char* shape = "dddd-dd-ddTdd:dd:dd.dddZ";
        if (t.size() != std::strlen(shape))
            return false;
        for (size_t i = 0; i < t.size(); i++)
            if (shape[i] == 'd' ? !std::isdigit((unsigned char)t[i]) : t[i] != shape[i])
                return false;
        return true;
    };
    while (std::getline(lines, line)) {
        ASSERT_LT(n, std::size(objects)) << line;
        nlohmann::json got = nlohmann::json::parse(line);
        EXPECT_TRUE(iso_utc(got.value("time", ""))) << line;
        EXPECT_EQ(got["sys"], "0x1234");
        got.erase("time");
        got.erase("sys");
        EXPECT_EQ(got, nlohmann::json::parse(objects[n])) << line;
        n++;
    }
    EXPECT_EQ(n, std::size(objects));
}

}  // namespace
