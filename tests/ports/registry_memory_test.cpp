#include <gtest/gtest.h>

#include <atomic>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/registry_memory.h"
#include "tests/support/registry_error.h"

namespace dialscope {
namespace {

using dialscope::testing::RegistryErrorText;

using Names = std::vector<std::string>;

constexpr const char* kParams = "SYSTEM\\CurrentControlSet\\Enum\\USB\\Vid_067b&Pid_2303\\inst1\\Device Parameters";

TEST(MemoryRegistry, NamesIgnoreCaseAndEnumerateInInsertionOrder) {
    auto tree = std::make_shared<MemoryRegistry>();
    tree->AddKey("Enum\\USB\\VID_067B&PID_2303\\Zeta");
    tree->AddKey("Enum\\USB\\VID_067B&PID_2303\\alpha");
    tree->AddKey("ENUM\\usb\\vid_067b&pid_2303\\ALPHA");  // the same key again
    tree->AddKey("Enum\\USB\\VID_067B&PID_2303\\Mid");
    tree->SetString("enum\\usb\\VID_067b&Pid_2303\\alpha", "SymbolicName", "S1");
    tree->SetDword("Enum\\USB\\VID_067B&PID_2303\\alpha", "RefCount", 1);
    tree->SetString("Enum\\USB\\VID_067B&PID_2303\\alpha", "SYMBOLICNAME", "S2");  // replaces

    MemoryRegistryReader r(tree);
    r.OpenKey("enum\\Usb\\vid_067b&PID_2303");
    EXPECT_EQ(r.SubkeyCount(), 3);
    EXPECT_EQ(r.SubkeyNames(), (Names{"Zeta", "alpha", "Mid"}));
    r.CloseKey();
    r.OpenKey("ENUM\\USB\\VID_067B&PID_2303\\Alpha\\");  // a trailing backslash is tolerated
    EXPECT_EQ(r.ValueNames(), (Names{"SymbolicName", "RefCount"}));  // first spelling, first place
    EXPECT_TRUE(r.ValueExists("symbolicname"));
    EXPECT_FALSE(r.ValueExists("Symbolic"));
    EXPECT_EQ(r.ReadString("symbolicNAME"), "S2");
    EXPECT_EQ(r.ReadInteger("refcount"), 1);

    r.OpenKey("");  // the root itself
    EXPECT_EQ(r.SubkeyNames(), (Names{"Enum"}));
}

TEST(MemoryRegistry, ReadStringCutsAtNulAndRejectsNonStrings) {
    auto tree = std::make_shared<MemoryRegistry>();
    tree->SetString(kParams, "PortName", std::string("COM3\0junk", 9));
    tree->SetString(kParams, "Empty", "");
    tree->SetExpandString(kParams, "Expand", std::string("%SystemRoot%\\x\0", 15));
    tree->SetBinary(kParams, "Bin", "COM3");
    tree->SetDword(kParams, "Number", 7);
    tree->SetValue(kParams, "Multi", kRegMultiSz, std::string("a\0b\0\0", 5));

    MemoryRegistryReader r(tree);
    EXPECT_EQ(r.ReadString("PortName"), "");  // no key current yet
    r.OpenKey(kParams);
    EXPECT_EQ(r.ReadString("PortName"), "COM3");
    EXPECT_EQ(r.ReadString("Empty"), "");
    EXPECT_EQ(r.ReadString("Missing"), "");
    EXPECT_EQ(r.ReadString("expand"), "%SystemRoot%\\x");  // read as stored, not expanded
    EXPECT_EQ(RegistryErrorText([&] { r.ReadString("bin"); }), "Invalid data type for 'bin'");
    EXPECT_EQ(RegistryErrorText([&] { r.ReadString("Number"); }), "Invalid data type for 'Number'");
    EXPECT_EQ(RegistryErrorText([&] { r.ReadString("Multi"); }), "Invalid data type for 'Multi'");
    r.CloseKey();
    EXPECT_EQ(r.ReadString("PortName"), "");
    EXPECT_FALSE(r.ValueExists("PortName"));
}

TEST(MemoryRegistry, ReadIntegerErrors) {
    auto tree = std::make_shared<MemoryRegistry>();
    const char* key = "System\\CurrentControlSet\\Control\\DeviceClasses\\G\\##.#K#G";
    tree->SetDword(key, "RefCount", 0xFFFFFFFFu);
    tree->SetDword(key, "Big", 0x7FFFFFFF);
    tree->SetString(key, "Text", "1");
    tree->SetValue(key, "Short", kRegDword, std::string("\x01\x00", 2));

    MemoryRegistryReader r(tree);
    EXPECT_EQ(RegistryErrorText([&] { r.ReadInteger("RefCount"); }), "Failed to get data for 'RefCount'");
    r.OpenKey(key);
    EXPECT_EQ(r.ReadInteger("RefCount"), -1);
    EXPECT_EQ(r.ReadInteger("Big"), 0x7FFFFFFF);
    EXPECT_EQ(RegistryErrorText([&] { r.ReadInteger("Missing"); }), "Failed to get data for 'Missing'");
    EXPECT_EQ(RegistryErrorText([&] { r.ReadInteger("Text"); }), "Invalid data type for 'Text'");
    EXPECT_EQ(RegistryErrorText([&] { r.ReadInteger("Short"); }), "Failed to get data for 'Short'");
    r.OpenKey("System\\NoSuchKey");  // failed open: no key current any more
    EXPECT_EQ(RegistryErrorText([&] { r.ReadInteger("RefCount"); }), "Failed to get data for 'RefCount'");
}

TEST(MemoryRegistry, UnopenablePathsLeaveNoKeyCurrent) {
    auto tree = std::make_shared<MemoryRegistry>();
    tree->SetString("A\\B", "V", "x");
    MemoryRegistryReader r(tree);
    for (const char* path : {"A\\C", "A\\B\\C", "\\A\\B", "A\\\\B", "B"}) {
        r.OpenKey("A\\B");
        r.OpenKey(path);
        EXPECT_EQ(r.SubkeyCount(), 0) << path;
        EXPECT_TRUE(r.SubkeyNames().empty()) << path;
        EXPECT_TRUE(r.ValueNames().empty()) << path;
        EXPECT_FALSE(r.ValueExists("V")) << path;
    }
    EXPECT_THROW(tree->AddKey("A\\\\B"), std::invalid_argument);
    EXPECT_THROW(tree->SetString("\\A", "V", "x"), std::invalid_argument);
    EXPECT_THROW(tree->AddKey(std::string(256, 'k')), std::invalid_argument);
    std::string deep;
    for (size_t i = 0; i <= kMaxKeyDepth; ++i) deep += "k\\";
    EXPECT_THROW(tree->AddKey(deep), std::invalid_argument);
}

// Hot-plug tests change the tree between scans: each scan makes a new reader
// and must see the change; a key already open keeps what it showed.
TEST(MemoryRegistry, ChangesReachLaterOpensAndOpenKeysStayIntact) {
    auto tree = std::make_shared<MemoryRegistry>();
    const std::string parent = "SYSTEM\\CurrentControlSet\\Enum\\USB\\Vid_067b&Pid_2303";
    tree->SetString(parent + "\\inst1\\Device Parameters", "PortName", "COM3");
    RegistryFactory factory = MakeMemoryRegistryFactory(tree);

    auto early = factory();
    tree->SetString(parent + "\\inst2\\Device Parameters", "PortName", "COM4");
    early->OpenKey(parent);
    EXPECT_EQ(early->SubkeyNames(), (Names{"inst1", "inst2"}));

    auto holder = factory();
    holder->OpenKey(parent + "\\inst1\\Device Parameters");
    EXPECT_TRUE(tree->DeleteKey(parent + "\\INST1"));
    EXPECT_FALSE(tree->DeleteKey(parent + "\\inst1"));
    EXPECT_FALSE(tree->DeleteKey(""));
    EXPECT_EQ(holder->ReadString("PortName"), "COM3");  // its copy, not freed storage
    holder->OpenKey(parent + "\\inst1\\Device Parameters");
    EXPECT_FALSE(holder->ValueExists("PortName"));

    auto later = factory();
    later->OpenKey(parent);
    EXPECT_EQ(later->SubkeyNames(), (Names{"inst2"}));
    EXPECT_TRUE(tree->DeleteValue(parent + "\\inst2\\Device Parameters", "portname"));
    later->OpenKey(parent + "\\inst2\\Device Parameters");
    EXPECT_TRUE(later->ValueNames().empty());
}

TEST(MemoryRegistry, PluggingFromAnotherThreadIsSafe) {
    auto tree = std::make_shared<MemoryRegistry>();
    const std::string serialcomm = "HARDWARE\\DEVICEMAP\\SERIALCOMM";
    std::atomic<bool> done{false};
    std::thread plugger([&] {
        for (int i = 0; i < 2000; ++i) {
            tree->SetString(serialcomm, "\\Device\\Serial" + std::to_string(i % 7), "COM3");
            if (i % 3 == 0) tree->DeleteKey(serialcomm);
        }
        done = true;
    });
    MemoryRegistryReader r(tree);
    int reads = 0;
    while (!done || reads == 0) {
        r.OpenKey(serialcomm);
        for (const auto& name : r.ValueNames()) EXPECT_EQ(r.ReadString(name), "COM3");
        ++reads;
    }
    plugger.join();
}

}  // namespace
}  // namespace dialscope
