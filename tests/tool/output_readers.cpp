#include "output_readers.h"

#include <fcntl.h>
#include <png.h>
#include <unistd.h>

#include <bit>
#include <cstring>
#include <fstream>
#include <sstream>

#include "nivex.h"

namespace tooltest {

PngImage read_png(const std::filesystem::path &path) {
    PngImage out;
    png_image image{};
    image.version = PNG_IMAGE_VERSION;
    if (!png_image_begin_read_from_file(&image, path.c_str())) return out;
    out.width = image.width;
    out.height = image.height;
    out.channels = PNG_IMAGE_SAMPLE_CHANNELS(image.format);
    out.sixteen_bit = (image.format & PNG_FORMAT_FLAG_LINEAR) != 0;
    const size_t samples = static_cast<size_t>(image.width) * image.height * out.channels;
    bool done;
    if (out.sixteen_bit) {
        out.words.resize(samples);
        done = png_image_finish_read(&image, nullptr, out.words.data(), 0, nullptr);
    } else {
        out.bytes.resize(samples);
        done = png_image_finish_read(&image, nullptr, out.bytes.data(), 0, nullptr);
    }
    if (!done) out = {};
    return out;
}

namespace {

float le_float(const char *bytes) {
    uint32_t bits = 0;
    for (int i = 0; i < 4; ++i)
        bits |= static_cast<uint32_t>(static_cast<uint8_t>(bytes[i])) << (8 * i);
    return std::bit_cast<float>(bits);
}

void read_binary_points(std::istream &in, PlyCloud &cloud) {
    char record[15];
    while (cloud.points.size() < cloud.declared && in.read(record, sizeof record))
        cloud.points.push_back({le_float(record), le_float(record + 4), le_float(record + 8),
                                static_cast<uint8_t>(record[12]), static_cast<uint8_t>(record[13]),
                                static_cast<uint8_t>(record[14])});
}

void read_ascii_points(std::istream &in, PlyCloud &cloud) {
    PlyPoint p{};
    unsigned r, g, b;
    while (cloud.points.size() < cloud.declared && in >> p.x >> p.y >> p.z >> r >> g >> b) {
        p.r = static_cast<uint8_t>(r);
        p.g = static_cast<uint8_t>(g);
        p.b = static_cast<uint8_t>(b);
        cloud.points.push_back(p);
    }
}

}  // namespace

PlyCloud read_ply(const std::filesystem::path &path) {
    PlyCloud cloud;
    std::ifstream in(path, std::ios::binary);
    std::string line;
    if (!std::getline(in, line) || line != "ply") return cloud;
    while (std::getline(in, line) && line != "end_header") {
        std::istringstream words(line);
        std::string keyword, a, b;
        words >> keyword >> a >> b;
        if (keyword == "format") cloud.format = a;
        if (keyword == "element" && a == "vertex") cloud.declared = std::stoul(b);
        if (keyword == "property") cloud.properties.push_back(a + " " + b);
    }
    if (cloud.format == "ascii")
        read_ascii_points(in, cloud);
    else
        read_binary_points(in, cloud);
    // Anything after the declared points is a fault of the writer.
    char extra;
    if (in.read(&extra, 1) && cloud.format != "ascii") cloud.points.push_back({});
    return cloud;
}

DistanceFrames read_distance_file(const std::filesystem::path &path) {
    DistanceFrames out;
    int fd = open(path.c_str(), O_RDONLY);
    if (fd < 0) return out;
    std::vector<float> frame(640 * 480);
    int w = 0, h = 0;
    while (int n = nivex_frame_load_distance(fd, frame.data(), static_cast<int>(frame.size()), &w,
                                             &h)) {
        out.width = w;
        out.height = h;
        out.frames.emplace_back(frame.begin(), frame.begin() + n);
    }
    close(fd);
    return out;
}

}  // namespace tooltest
