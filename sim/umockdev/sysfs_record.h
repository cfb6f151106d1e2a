// How a USB device looks to libusb through sysfs: the record umockdev turns
// into a testbed device (sysfs folder, attributes, udev properties, device
// node), for the root hub of a bus and for a camera on one of its ports.
#pragma once

#include <cstdint>
#include <string>

namespace nxsim::umock {

// Where a device sits: its bus, its port on the root hub (0: the root hub
// itself), its address and libusb speed code.
struct UsbPlace {
    uint8_t bus = 1;
    uint8_t port = 0;
    uint8_t address = 1;
    uint8_t speed = 3;
};

// "/devices/pci0000:00/0000:00:14.0/usb1" for the root hub of bus 1,
// ".../usb1/1-4" for the device on its port 4.
std::string sysfs_path(const UsbPlace &place);
// "/dev/bus/usb/001/005".
std::string device_node(const UsbPlace &place);

// The umockdev record of the root hub of `place.bus` / of a camera.
std::string root_hub_record(uint8_t bus);
std::string camera_record(const UsbPlace &place);

}  // namespace nxsim::umock
