#include "ports/port_list.h"

#include <gtest/gtest.h>

#include <climits>

namespace dialscope {
namespace {

PortList ThreeRecords() {
    PortList ports;
    ports.AppendPort("key1", "COM3", 0, "pk1");
    ports.AppendPort("key2", "COM4", 1, "pk2");
    ports.AppendPort("key3", "COM5", 1, "pk3");
    return ports;
}

TEST(PortList, PresenceWalksUseOneBasedPositions) {
    PortList empty;
    EXPECT_EQ(empty.PortCount(), 0);
    EXPECT_EQ(empty.FirstPresentPort(), 0);
    EXPECT_EQ(empty.NextPresentPort(0), 0);
    EXPECT_EQ(empty.IsPortPresentAt(1), 0);

    PortList ports = ThreeRecords();
    EXPECT_EQ(ports.PortCount(), 3);
    EXPECT_EQ(ports.FirstPresentPort(), 2);
    EXPECT_EQ(ports.NextPresentPort(0), ports.FirstPresentPort());
    EXPECT_EQ(ports.NextPresentPort(1), 2);
    EXPECT_EQ(ports.NextPresentPort(2), 3);
    EXPECT_EQ(ports.NextPresentPort(3), 0);  // PortCount
    EXPECT_EQ(ports.NextPresentPort(-4), 2);
    EXPECT_EQ(ports.NextPresentPort(INT32_MAX), 0);
    EXPECT_EQ(ports.IsPortPresentAt(0), 0);
    EXPECT_EQ(ports.IsPortPresentAt(1), 0);
    EXPECT_EQ(ports.IsPortPresentAt(3), 1);
    EXPECT_EQ(ports.IsPortPresentAt(4), 0);

    ports.SetPortField(2, 3, "0");
    ports.SetPortField(3, 3, "0");
    EXPECT_EQ(ports.FirstPresentPort(), 0);
    EXPECT_EQ(ports.NextPresentPort(0), 0);

    ports.ClearPorts();
    EXPECT_EQ(ports.PortCount(), 0);
    EXPECT_EQ(ports.GetPortField(1, 1), "");
}

TEST(PortList, FieldsReadAndWriteByNumber) {
    PortList ports = ThreeRecords();
    EXPECT_EQ(ports.GetPortField(2, 1), "key2");
    EXPECT_EQ(ports.GetPortField(2, 2), "COM4");
    EXPECT_EQ(ports.GetPortField(2, 3), "1");
    EXPECT_EQ(ports.GetPortField(1, 3), "0");
    EXPECT_EQ(ports.GetPortField(2, 4), "pk2");
    EXPECT_EQ(ports.GetPortField(2, 7), "pk2");  // any other number is presenceKey
    EXPECT_EQ(ports.GetPortField(2, 0), "pk2");

    // Outside 1 .. PortCount: empty text, no change.
    EXPECT_EQ(ports.GetPortField(0, 1), "");
    EXPECT_EQ(ports.GetPortField(4, 2), "");
    EXPECT_FALSE(ports.SetPortField(0, 2, "X"));
    EXPECT_FALSE(ports.SetPortField(4, 3, "1"));
    EXPECT_EQ(ports.records()[0].comPort, "COM3");
    EXPECT_EQ(ports.PortCount(), 3);

    EXPECT_TRUE(ports.SetPortField(1, 3, "1"));
    EXPECT_EQ(ports.IsPortPresentAt(1), 1);
    for (const char* text : {"0", "", "yes", "1 ", "11", "2"}) {
        ports.SetPortField(1, 3, "1");
        EXPECT_TRUE(ports.SetPortField(1, 3, text));
        EXPECT_EQ(ports.IsPortPresentAt(1), 0) << "text '" << text << "'";
    }

    EXPECT_TRUE(ports.SetPortField(3, 1, "k"));
    EXPECT_TRUE(ports.SetPortField(3, 2, "ttyUSB0"));
    EXPECT_TRUE(ports.SetPortField(3, 7, "\\Device\\ttyUSB0"));
    EXPECT_EQ(ports.records()[2].deviceKey, "k");
    EXPECT_EQ(ports.records()[2].comPort, "ttyUSB0");
    EXPECT_EQ(ports.records()[2].presenceKey, "\\Device\\ttyUSB0");
    // Other records untouched.
    EXPECT_EQ(ports.records()[1].comPort, "COM4");
}

TEST(PortList, PresentByNameTakesTheFirstRecordThatBeginsWithTheName) {
    PortList ports;
    ports.AppendPort("a", "", 1, "");  // no port name: never matches
    ports.AppendPort("b", "COM10", 0, "");
    ports.AppendPort("c", "COM1", 1, "");
    ports.AppendPort("d", "ttyUSB12", 1, "");

    // "COM10" begins with "COM1" and comes first.
    EXPECT_EQ(ports.PortPresentByName("COM1"), 0);
    EXPECT_EQ(ports.PortPresentByName("COM10"), 0);
    EXPECT_EQ(ports.PortPresentByName("com1"), 0);  // case-sensitive
    EXPECT_EQ(ports.PortPresentByName("COM100"), 0);
    EXPECT_EQ(ports.PortPresentByName("ttyUSB1"), 1);
    EXPECT_EQ(ports.PortPresentByName("ttyUSB12"), 1);
    EXPECT_EQ(ports.PortPresentByName("ttyUSB123"), 0);

    EXPECT_TRUE(BeginsWith("COM10", "COM1"));
    EXPECT_FALSE(BeginsWith("COM", "COM1"));
    EXPECT_TRUE(BeginsWith("x", ""));
}

}  // namespace
}  // namespace dialscope
