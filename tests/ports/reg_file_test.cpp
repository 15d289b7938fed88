#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "tests/support/registry_memory.h"

namespace dialscope {
namespace {

using namespace std::string_literals;
using Names = std::vector<std::string>;

const std::string kDataDir = DIALSCOPE_PORTS_TEST_DATA;

TEST(RegFile, ReadsEveryValueForm) {
    const std::string text =
        "\xEF\xBB\xBF\r\n"
        "REGEDIT4\r\n"
        "\r\n"
        "; a comment line\r\n"
        "[HKEY_LOCAL_MACHINE\\Software\\Test]\r\n"
        "@=\"default\"\r\n"
        "\"Quoted\"=\"say \\\"hi\\\" at C:\\\\dir\\\\\"\r\n"
        "\"\\\\Device\\\\Serial0\" = \"COM1\"\r\n"
        "\"Count\"=dword:0000abcd\r\n"
        "\"Minus\"=DWORD:ffffffff\r\n"
        "\"Path\"=hex(2):25,53,79,73,74,65,6d,52,6f,6f,74,25,5c,\\\r\n"
        "    78,00,79,00\r\n"
        "\"Blob\"=hex:01,02,\\\r\n"
        "  ff,\r\n"
        "\"Sz\"=hex(1):43,4f,4d,37,00\r\n"
        "\"Dw\"=hex(4):10,00,00,00\r\n"
        "\"Multi\"=hex(7):61,00,00\r\n"
        "\"Gone\"=\"x\"\r\n"
        "\"gone\"=-\r\n"
        "\r\n"
        "[HKEY_LOCAL_MACHINE\\Software\\Doomed\\Child]\r\n"
        "[-HKEY_LOCAL_MACHINE\\software\\DOOMED]\r\n"
        "[hkey_local_machine\\Software\\Test\\Sub]\r\n";
    auto tree = ParseRegText(text);
    MemoryRegistryReader r(tree);
    r.OpenKey("SOFTWARE");
    EXPECT_EQ(r.SubkeyNames(), (Names{"Test"}));
    r.OpenKey("software\\test");
    EXPECT_EQ(r.SubkeyNames(), (Names{"Sub"}));
    EXPECT_EQ(r.ValueNames(), (Names{"", "Quoted", "\\Device\\Serial0", "Count", "Minus", "Path",
                                     "Blob", "Sz", "Dw", "Multi"}));
    EXPECT_EQ(r.ReadString(""), "default");
    EXPECT_EQ(r.ReadString("quoted"), "say \"hi\" at C:\\dir\\");
    EXPECT_EQ(r.ReadString("\\device\\serial0"), "COM1");
    EXPECT_EQ(r.ReadInteger("Count"), 0xabcd);
    EXPECT_EQ(r.ReadInteger("Minus"), -1);
    EXPECT_EQ(r.ReadString("Path"), "%SystemRoot%\\x");  // cut at its NUL
    EXPECT_EQ(r.ReadString("Sz"), "COM7");
    EXPECT_EQ(r.ReadInteger("Dw"), 16);
    EXPECT_THROW(r.ReadString("Blob"), RegistryError);
    EXPECT_THROW(r.ReadInteger("Blob"), RegistryError);
    EXPECT_THROW(r.ReadString("Multi"), RegistryError);
    auto copy = tree->Snapshot("Software\\Test");
    ASSERT_TRUE(copy);
    EXPECT_EQ(copy->values[6].type, kRegBinary);
    EXPECT_EQ(copy->values[6].data, std::string("\x01\x02\xff"));
    EXPECT_EQ(copy->values[9].type, kRegMultiSz);
    EXPECT_FALSE(tree->KeyExists("Software\\Doomed"));
}

struct Malformed {
    const char* text;
    int line;
    const char* says;
};

TEST(RegFile, MalformedTextNamesTheLine) {
    const Malformed cases[] = {
        {"", 1, "REGEDIT4"},
        {"\n\nWindows Registry Editor Version 5.00\n", 3, "REGEDIT4"},
        {"REGEDIT4\n\"a\"=\"b\"\n", 2, "outside a key"},
        {"REGEDIT4\n[HKEY_LOCAL_MACHINE\\A]\n\"a\"=\"b\n", 3, "closing quote"},
        {"REGEDIT4\n[HKEY_LOCAL_MACHINE\\A]\n\"a\"=\"b\\n\"\n", 3, "escape"},
        {"REGEDIT4\n[HKEY_LOCAL_MACHINE\\A]\n\"a\"=dword:123456789\n", 3, "dword"},
        {"REGEDIT4\n[HKEY_LOCAL_MACHINE\\A]\n\"a\"=dword:\n", 3, "dword"},
        {"REGEDIT4\n[HKEY_LOCAL_MACHINE\\A]\n\"a\"=hex:4g\n", 3, "','"},
        {"REGEDIT4\n[HKEY_LOCAL_MACHINE\\A]\n\"a\"=hex:41,,42\n", 3, "hex byte"},
        {"REGEDIT4\n[HKEY_LOCAL_MACHINE\\A]\n\"a\"=hex:123\n", 3, "hex byte"},
        {"REGEDIT4\n[HKEY_LOCAL_MACHINE\\A]\n\"a\"=hex(2:41\n", 3, "')'"},
        {"REGEDIT4\n[HKEY_LOCAL_MACHINE\\A]\n\"a\"=\"b\" junk\n", 3, "after the value"},
        {"REGEDIT4\n[HKEY_LOCAL_MACHINE\\A]\n\"a\"=text\n", 3, "unrecognised"},
        {"REGEDIT4\n[HKEY_LOCAL_MACHINE\\A]\n\"a\" \"b\"\n", 3, "'='"},
        {"REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\A\n", 3, "']'"},
        {"REGEDIT4\n[HKEY_CURRENT_USER\\A]\n", 2, "HKEY_CURRENT_USER"},
        {"REGEDIT4\n[HKEY_LOCAL_MACHINE\\A\\\\B]\n", 2, "empty key name"},
        {"REGEDIT4\n[HKEY_LOCAL_MACHINE\\]\n", 2, "empty key name"},
        {"REGEDIT4\n[-HKEY_LOCAL_MACHINE]\n", 2, "root"},
        {"REGEDIT4\n[-HKEY_LOCAL_MACHINE\\A]\n\"a\"=\"b\"\n", 3, "outside a key"},
        {"REGEDIT4\nvalue=1\n", 2, "[key]"},
        // The error sits on the second continuation line of a value begun on line 3.
        {"REGEDIT4\n[HKEY_LOCAL_MACHINE\\A]\n\"a\"=hex:41,\\\n  42,\\\n  4x\n", 5, "hex"},
    };
    for (const auto& c : cases) {
        try {
            ParseRegText(c.text);
            ADD_FAILURE() << "accepted: " << c.text;
        } catch (const RegFileError& e) {
            std::string what = e.what();
            EXPECT_EQ(e.line(), c.line) << c.text;
            EXPECT_EQ(what.rfind("line " + std::to_string(c.line) + ": ", 0), 0u) << what;
            EXPECT_NE(what.find(c.says), std::string::npos) << what;
        }
    }
}

TEST(RegFile, LimitsAndOddInputAreErrorsNotCrashes) {
    std::string deep = "REGEDIT4\n[HKEY_LOCAL_MACHINE";
    for (int i = 0; i < 600; ++i) deep += "\\k";
    deep += "]\n";
    EXPECT_THROW(ParseRegText(deep), RegFileError);
    EXPECT_THROW(ParseRegText("REGEDIT4\n[HKEY_LOCAL_MACHINE\\" + std::string(300, 'k') + "]\n"),
                 RegFileError);

    // A lone continuation and a continuation at the end of the text.
    auto tree = ParseRegText("REGEDIT4\n\\\n\n[HKEY_LOCAL_MACHINE\\A]\n\"b\"=hex:41,\\");
    MemoryRegistryReader r(tree);
    r.OpenKey("A");
    EXPECT_EQ(r.ValueNames(), (Names{"b"}));
    // NUL bytes in the text are data, like any other byte.
    MemoryRegistryReader withNul(ParseRegText("REGEDIT4\n[HKEY_LOCAL_MACHINE\\A]\n\"n\"=\"x\0y\"\n"s));
    withNul.OpenKey("A");
    EXPECT_EQ(withNul.ReadString("n"), "x");

    // Damaged copies of a real file: only RegFileError may come out.
    std::string good = "REGEDIT4\n[HKEY_LOCAL_MACHINE\\A\\B]\n@=\"x\\\\y\"\n\"c\"=dword:1\n"
                       "\"d\"=hex(2):41,\\\n  00\n[-HKEY_LOCAL_MACHINE\\A]\n";
    const std::string alphabet = "[]\\\"@=-:,;()\n\r\t 0aFxHhdwordEX\0\xff"s;
    std::mt19937 rng(12345);
    for (int round = 0; round < 5000; ++round) {
        std::string text = good;
        int edits = 1 + static_cast<int>(rng() % 4);
        for (int e = 0; e < edits && !text.empty(); ++e) {
            size_t at = rng() % text.size();
            char c = alphabet[rng() % alphabet.size()];
            switch (rng() % 3) {
                case 0: text[at] = c; break;
                case 1: text.insert(text.begin() + static_cast<long>(at), c); break;
                default: text.erase(at, 1 + rng() % 3); break;
            }
        }
        try {
            ParseRegText(text);
        } catch (const RegFileError&) {
        }
    }
}

// The two sample trees, read back through the paths the port scans use.
TEST(RegFile, NtSampleReadsBack) {
    auto tree = LoadRegFile(kDataDir + "/nt_two_adapters.reg");
    MemoryRegistryReader r(tree);
    const std::string parent = "SYSTEM\\CurrentControlSet\\Enum\\USB\\Vid_067b&Pid_2303";
    r.OpenKey(parent);
    ASSERT_EQ(r.SubkeyCount(), 2);
    Names instances = r.SubkeyNames();
    EXPECT_EQ(instances, (Names{"5&2f1a6c3d&0&1", "5&2f1a6c3d&0&2"}));
    r.CloseKey();
    Names ports;
    for (const auto& inst : instances) {
        r.OpenKey(parent + "\\" + inst + "\\Device Parameters");
        ports.push_back(r.ReadString("PortName"));
        r.CloseKey();
    }
    EXPECT_EQ(ports, (Names{"COM3", "COM4"}));
    r.OpenKey("HARDWARE\\DEVICEMAP\\SERIALCOMM");
    EXPECT_EQ(r.ValueNames(), (Names{"\\Device\\Serial0", "\\Device\\UsbSerial1",
                                     "\\Device\\UsbSerial0", "\\Device\\VCP0"}));
    EXPECT_EQ(r.ReadString("\\Device\\UsbSerial1"), "COM4");
    EXPECT_EQ(r.ReadString("\\Device\\VCP0"), "COM5");
}

TEST(RegFile, Win9xSampleReadsBack) {
    auto tree = LoadRegFile(kDataDir + "/win9x_layout.reg");
    MemoryRegistryReader r(tree);
    const std::string parent = "Enum\\USB\\VID_067B&PID_2303";
    r.OpenKey(parent);
    Names instances = r.SubkeyNames();
    EXPECT_EQ(instances, (Names{"BUS_01&INST_0", "BUS_01&INST_1", "BUS_02&INST_3", "BUS_02&INST_4"}));
    r.CloseKey();

    // Each symbolic name leads to an interface key with a RefCount, and each
    // instance number to a port entry.
    std::vector<int> refCounts;
    for (const auto& inst : instances) {
        r.OpenKey(parent + "\\" + inst);
        if (!r.ValueExists("SymbolicName")) {
            EXPECT_EQ(inst, "BUS_02&INST_4");
            continue;
        }
        std::string s = r.ReadString("SymbolicName");
        r.CloseKey();
        size_t hash = s.find('#');
        std::string a = hash == std::string::npos ? s : s.substr(hash + 1);
        std::string b = s.size() > 12 ? s.substr(12) : "";
        r.OpenKey("System\\CurrentControlSet\\Control\\DeviceClasses\\" + a + "\\##.#" + b);
        refCounts.push_back(r.ReadInteger("RefCount"));
        r.CloseKey();
    }
    EXPECT_EQ(refCounts, (std::vector<int>{1, 0, 2}));

    r.OpenKey("Enum\\USBPORTS\\VID_067B&PID_2303");
    EXPECT_EQ(r.SubkeyNames(), (Names{"0003", "0001", "0000"}));
    Names ports;
    for (const char* entry : {"0000", "0001", "0003"}) {
        r.OpenKey(std::string("Enum\\USBPORTS\\VID_067B&PID_2303\\") + entry);
        ports.push_back(r.ReadString("PORTNAME"));
    }
    EXPECT_EQ(ports, (Names{"COM3", "COM4", "COM6"}));
}

TEST(RegFile, UnreadableFileIsAnError) {
    try {
        LoadRegFile(kDataDir + "/no_such_file.reg");
        FAIL() << "no error";
    } catch (const RegFileError& e) {
        EXPECT_EQ(e.line(), 0);
        EXPECT_NE(std::string(e.what()).find("no_such_file.reg"), std::string::npos);
    }
}

}  // namespace
}  // namespace dialscope
