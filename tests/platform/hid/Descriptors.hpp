// Report descriptors for the tests, written out item by item: the frame's two
// interfaces and common devices from the HID usage tables.
#pragma once

#include <cstdint>
#include <vector>

namespace tact::test::hid {

using Bytes = std::vector<std::uint8_t>;

// One finger of the frame's touch collection: 10 bytes of input.
inline void appendFinger(Bytes& d) {
    const Bytes finger = {
        0x05, 0x0D,        // Usage Page (Digitizer)
        0x09, 0x22,        // Usage (Finger)
        0xA1, 0x02,        // Collection (Logical)
        0x09, 0x42,        //   Usage (Tip Switch)
        0x09, 0x32,        //   Usage (In Range)
        0x09, 0x47,        //   Usage (Confidence)
        0x15, 0x00,        //   Logical Minimum (0)
        0x25, 0x01,        //   Logical Maximum (1)
        0x75, 0x01,        //   Report Size (1)
        0x95, 0x03,        //   Report Count (3)
        0x81, 0x02,        //   Input (Data, Variable, Absolute)
        0x95, 0x05,        //   Report Count (5)
        0x81, 0x03,        //   Input (Constant): padding to the byte
        0x09, 0x51,        //   Usage (Contact Identifier)
        0x26, 0xFF, 0x00,  //   Logical Maximum (255)
        0x75, 0x08,        //   Report Size (8)
        0x95, 0x01,        //   Report Count (1)
        0x81, 0x02,        //   Input
        0x05, 0x01,        //   Usage Page (Generic Desktop)
        0x09, 0x30,        //   Usage (X)
        0x09, 0x31,        //   Usage (Y)
        0x26, 0xFF, 0x7F,  //   Logical Maximum (32767)
        0x75, 0x10,        //   Report Size (16)
        0x95, 0x02,        //   Report Count (2)
        0x81, 0x02,        //   Input
        0x05, 0x0D,        //   Usage Page (Digitizer)
        0x09, 0x48,        //   Usage (Width)
        0x09, 0x49,        //   Usage (Height)
        0x95, 0x02,        //   Report Count (2)
        0x81, 0x02,        //   Input
        0xC0,              // End Collection
    };
    d.insert(d.end(), finger.begin(), finger.end());
}

// The frame's touch interface: a multi-touch screen, input report 10 of 62
// bytes (ID, six 10-byte contacts, count), feature reports 10 and 11. With the
// debug channel (product 0x5668) it also carries output report 2 (63 bytes)
// and input report 1 (64 bytes) inside the same application collection.
inline Bytes frameTouchDescriptor(bool withDebugChannel = false) {
    Bytes d = {
        0x05, 0x0D,  // Usage Page (Digitizer)
        0x09, 0x04,  // Usage (Touch Screen)
        0xA1, 0x01,  // Collection (Application)
        0x85, 0x0A,  //   Report ID (10)
    };
    for (int i = 0; i < 6; ++i)
        appendFinger(d);
    const Bytes rest = {
        0x05, 0x0D,  //   Usage Page (Digitizer)
        0x09, 0x54,  //   Usage (Contact Count)
        0x25, 0x7F,  //   Logical Maximum (127)
        0x75, 0x08,  //   Report Size (8)
        0x95, 0x01,  //   Report Count (1)
        0x81, 0x02,  //   Input
        0x09, 0x55,  //   Usage (Contact Count Maximum)
        0x25, 0x0A,  //   Logical Maximum (10)
        0xB1, 0x02,  //   Feature (report 10)
        0x85, 0x0B,  //   Report ID (11)
        0x09, 0x52,  //   Usage (Input Mode)
        0x09, 0x53,  //   Usage (Device Index)
        0x95, 0x02,  //   Report Count (2)
        0xB1, 0x02,  //   Feature
    };
    d.insert(d.end(), rest.begin(), rest.end());
    if (withDebugChannel) {
        const Bytes debug = {
            0x06, 0x00, 0xFF,  //   Usage Page (Vendor 0xFF00)
            0x15, 0x00,        //   Logical Minimum (0)
            0x26, 0xFF, 0x00,  //   Logical Maximum (255)
            0x75, 0x08,        //   Report Size (8)
            0x85, 0x02,        //   Report ID (2)
            0x09, 0x01,        //   Usage (1)
            0x95, 0x3E,        //   Report Count (62)
            0x91, 0x02,        //   Output
            0x85, 0x01,        //   Report ID (1)
            0x09, 0x02,        //   Usage (2)
            0x95, 0x3F,        //   Report Count (63)
            0x81, 0x02,        //   Input
        };
        d.insert(d.end(), debug.begin(), debug.end());
    }
    d.push_back(0xC0);  // End Collection
    return d;
}

// The frame's debug interface: usage page 255, usage 1; input report 1 of 64
// bytes, output report 2 of 63 bytes, feature report 2 of 63 bytes.
inline Bytes frameDebugDescriptor() {
    return {
        0x06, 0xFF, 0x00,  // Usage Page (255)
        0x09, 0x01,        // Usage (1)
        0xA1, 0x01,        // Collection (Application)
        0x15, 0x00,        //   Logical Minimum (0)
        0x26, 0xFF, 0x00,  //   Logical Maximum (255)
        0x75, 0x08,        //   Report Size (8)
        0x85, 0x01,        //   Report ID (1)
        0x09, 0x02,        //   Usage (2)
        0x95, 0x3F,        //   Report Count (63)
        0x81, 0x02,        //   Input
        0x85, 0x02,        //   Report ID (2)
        0x09, 0x03,        //   Usage (3)
        0x95, 0x3E,        //   Report Count (62)
        0x91, 0x02,        //   Output
        0x09, 0x04,        //   Usage (4)
        0xB1, 0x02,        //   Feature
        0xC0,              // End Collection
    };
}

// The standard boot keyboard: 8-byte input, 1-byte output
// (LEDs), no report IDs.
inline Bytes bootKeyboardDescriptor() {
    return {
        0x05, 0x01,  // Usage Page (Generic Desktop)
        0x09, 0x06,  // Usage (Keyboard)
        0xA1, 0x01,  // Collection (Application)
        0x05, 0x07,  //   Usage Page (Keyboard)
        0x19, 0xE0,  //   Usage Minimum (224)
        0x29, 0xE7,  //   Usage Maximum (231)
        0x15, 0x00,  //   Logical Minimum (0)
        0x25, 0x01,  //   Logical Maximum (1)
        0x75, 0x01,  //   Report Size (1)
        0x95, 0x08,  //   Report Count (8)
        0x81, 0x02,  //   Input: modifier byte
        0x95, 0x01,  //   Report Count (1)
        0x75, 0x08,  //   Report Size (8)
        0x81, 0x01,  //   Input (Constant): reserved byte
        0x95, 0x05,  //   Report Count (5)
        0x75, 0x01,  //   Report Size (1)
        0x05, 0x08,  //   Usage Page (LEDs)
        0x19, 0x01,  //   Usage Minimum (1)
        0x29, 0x05,  //   Usage Maximum (5)
        0x91, 0x02,  //   Output: LEDs
        0x95, 0x01,  //   Report Count (1)
        0x75, 0x03,  //   Report Size (3)
        0x91, 0x01,  //   Output (Constant): padding
        0x95, 0x06,  //   Report Count (6)
        0x75, 0x08,  //   Report Size (8)
        0x15, 0x00,  //   Logical Minimum (0)
        0x25, 0x65,  //   Logical Maximum (101)
        0x05, 0x07,  //   Usage Page (Keyboard)
        0x19, 0x00,  //   Usage Minimum (0)
        0x29, 0x65,  //   Usage Maximum (101)
        0x81, 0x00,  //   Input (Array): key codes
        0xC0,        // End Collection
    };
}

// The boot mouse: a pointer inside the mouse collection; 3-byte input.
inline Bytes bootMouseDescriptor() {
    return {
        0x05, 0x01,  // Usage Page (Generic Desktop)
        0x09, 0x02,  // Usage (Mouse)
        0xA1, 0x01,  // Collection (Application)
        0x09, 0x01,  //   Usage (Pointer)
        0xA1, 0x00,  //   Collection (Physical)
        0x05, 0x09,  //     Usage Page (Button)
        0x19, 0x01,  //     Usage Minimum (1)
        0x29, 0x03,  //     Usage Maximum (3)
        0x15, 0x00,  //     Logical Minimum (0)
        0x25, 0x01,  //     Logical Maximum (1)
        0x95, 0x03,  //     Report Count (3)
        0x75, 0x01,  //     Report Size (1)
        0x81, 0x02,  //     Input: buttons
        0x95, 0x01,  //     Report Count (1)
        0x75, 0x05,  //     Report Size (5)
        0x81, 0x01,  //     Input (Constant): padding
        0x05, 0x01,  //     Usage Page (Generic Desktop)
        0x09, 0x30,  //     Usage (X)
        0x09, 0x31,  //     Usage (Y)
        0x15, 0x81,  //     Logical Minimum (-127)
        0x25, 0x7F,  //     Logical Maximum (127)
        0x75, 0x08,  //     Report Size (8)
        0x95, 0x02,  //     Report Count (2)
        0x81, 0x06,  //     Input (Relative)
        0xC0,        //   End Collection
        0xC0,        // End Collection
    };
}

// A keyboard with media keys: two top-level collections, report IDs 1 and 2.
inline Bytes keyboardWithMediaKeysDescriptor() {
    return {
        0x05, 0x01,        // Usage Page (Generic Desktop)
        0x09, 0x06,        // Usage (Keyboard)
        0xA1, 0x01,        // Collection (Application)
        0x85, 0x01,        //   Report ID (1)
        0x05, 0x07,        //   Usage Page (Keyboard)
        0x19, 0xE0,        //   Usage Minimum (224)
        0x29, 0xE7,        //   Usage Maximum (231)
        0x15, 0x00,        //   Logical Minimum (0)
        0x25, 0x01,        //   Logical Maximum (1)
        0x75, 0x01,        //   Report Size (1)
        0x95, 0x08,        //   Report Count (8)
        0x81, 0x02,        //   Input
        0x95, 0x06,        //   Report Count (6)
        0x75, 0x08,        //   Report Size (8)
        0x26, 0xFF, 0x00,  //   Logical Maximum (255)
        0x19, 0x00,        //   Usage Minimum (0)
        0x2A, 0xFF, 0x00,  //   Usage Maximum (255)
        0x81, 0x00,        //   Input (Array)
        0xC0,              // End Collection
        0x05, 0x0C,        // Usage Page (Consumer)
        0x09, 0x01,        // Usage (Consumer Control)
        0xA1, 0x01,        // Collection (Application)
        0x85, 0x02,        //   Report ID (2)
        0x15, 0x00,        //   Logical Minimum (0)
        0x26, 0xFF, 0x03,  //   Logical Maximum (1023)
        0x19, 0x00,        //   Usage Minimum (0)
        0x2A, 0xFF, 0x03,  //   Usage Maximum (1023)
        0x75, 0x10,        //   Report Size (16)
        0x95, 0x01,        //   Report Count (1)
        0x81, 0x00,        //   Input (Array)
        0xC0,              // End Collection
    };
}

}  // namespace tact::test::hid
