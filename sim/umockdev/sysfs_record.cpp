#include "sim/umockdev/sysfs_record.h"

#include <cstdio>
#include <vector>

#include "sim/camera/wire.h"

namespace nxsim::umock {
namespace {

constexpr uint16_t kHubVendor = 0x1D6B;  // the Linux Foundation's root hubs
constexpr uint16_t kHubProduct = 0x0002;
constexpr uint8_t kHubClass = 9;
constexpr uint8_t kVendorClass = 0xFF;

void put16(std::vector<uint8_t> &out, uint16_t v) {
    out.push_back(static_cast<uint8_t>(v));
    out.push_back(static_cast<uint8_t>(v >> 8));
}

void device_descriptor(std::vector<uint8_t> &out, uint16_t bcd_usb, uint8_t device_class,
                       uint16_t vendor, uint16_t product) {
    out.insert(out.end(), {18, 1});
    put16(out, bcd_usb);
    out.insert(out.end(),
               {device_class, 0, device_class == kHubClass ? uint8_t{1} : uint8_t{0}, 64});
    put16(out, vendor);
    put16(out, product);
    put16(out, 0x0100);                   // bcdDevice
    out.insert(out.end(), {1, 2, 3, 1});  // string indices, one configuration
}

void configuration_header(std::vector<uint8_t> &out, uint16_t total_length, uint8_t interfaces) {
    out.insert(out.end(), {9, 2});
    put16(out, total_length);
    out.insert(out.end(), {interfaces, kConfiguration, 0, 0x80, 250});
}

void interface_descriptor(std::vector<uint8_t> &out, uint8_t number, uint8_t endpoints,
                          uint8_t interface_class) {
    out.insert(out.end(), {9, 4, number, 0, endpoints, interface_class, 0, 0, 0});
}

void endpoint_descriptor(std::vector<uint8_t> &out, uint8_t address, uint8_t attributes,
                         uint16_t max_packet, uint8_t interval) {
    out.insert(out.end(), {7, 5, address, attributes});
    put16(out, max_packet);
    out.push_back(interval);
}

// The link speed as the kernel's "speed" attribute names it.
const char *speed_text(uint8_t speed) {
    switch (speed) {
        case 1:
            return "1.5";
        case 2:
            return "12";
        case 4:
            return "5000";
        case 5:
            return "10000";
        default:
            return "480";
    }
}

std::string hex(const std::vector<uint8_t> &bytes) {
    std::string out;
    char pair[3];
    for (uint8_t b : bytes) {
        std::snprintf(pair, sizeof pair, "%02x", b);
        out += pair;
    }
    return out;
}

std::string record(const UsbPlace &place, uint16_t vendor, uint16_t product, uint8_t interfaces,
                   const std::vector<uint8_t> &descriptors) {
    char text[1024];
    const std::string node = device_node(place);
    std::snprintf(text, sizeof text,
                  "P: %s\n"
                  "N: %s\n"
                  "E: DEVNAME=%s\n"
                  "E: DEVTYPE=usb_device\n"
                  "E: DRIVER=usb\n"
                  "E: BUSNUM=%03u\n"
                  "E: DEVNUM=%03u\n"
                  "E: SUBSYSTEM=usb\n"
                  "A: busnum=%u\n"
                  "A: devnum=%u\n"
                  "A: speed=%s\n"
                  "A: bConfigurationValue=%u\n"
                  "A: bNumInterfaces=%2u\n"
                  "A: idVendor=%04x\n"
                  "A: idProduct=%04x\n",
                  sysfs_path(place).c_str(), node.c_str() + 5, node.c_str(), place.bus,
                  place.address, place.bus, place.address, speed_text(place.speed), kConfiguration,
                  interfaces, vendor, product);
    return std::string(text) + "H: descriptors=" + hex(descriptors) + "\n\n";
}

}  // namespace

std::string sysfs_path(const UsbPlace &place) {
    // Appended piece by piece: GCC 12 at -O3 warns (wrongly) about
    // literal + std::string temporaries.
    std::string path = "/devices/pci0000:00/0000:00:14.0/usb";
    path += std::to_string(place.bus);
    if (place.port != 0) {
        path += '/';
        path += std::to_string(place.bus);
        path += '-';
        path += std::to_string(place.port);
    }
    return path;
}

std::string device_node(const UsbPlace &place) {
    char node[32];
    std::snprintf(node, sizeof node, "/dev/bus/usb/%03u/%03u", place.bus, place.address);
    return node;
}

std::string root_hub_record(uint8_t bus) {
    std::vector<uint8_t> d;
    device_descriptor(d, 0x0200, kHubClass, kHubVendor, kHubProduct);
    configuration_header(d, 9 + 9 + 7, 1);
    interface_descriptor(d, 0, 1, kHubClass);
    endpoint_descriptor(d, 0x81, 3, 4, 12);  // the hub's status-change interrupt endpoint
    return record({bus, 0, 1, 3}, kHubVendor, kHubProduct, 1, d);
}

// Interface 0 carries the stream endpoint; interface 1 has none.
std::string camera_record(const UsbPlace &place) {
    const bool super = place.speed >= 4;
    const uint16_t max_packet = place.speed >= 3 ? (super ? 1024 : 512) : 64;
    std::vector<uint8_t> d;
    device_descriptor(d, super ? 0x0300 : 0x0200, 0, kVendorId, kProductId);
    configuration_header(d, 9 + 9 + 7 + 9, kInterfaceCount);
    interface_descriptor(d, 0, 1, kVendorClass);
    endpoint_descriptor(d, kStreamEndpoint, 2, max_packet, 0);
    interface_descriptor(d, 1, 0, kVendorClass);
    return record(place, kVendorId, kProductId, kInterfaceCount, d);
}

}  // namespace nxsim::umock
