#include "drivers/epc/epc_lens_file.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <fstream>
#include <optional>

#include "common/nx_log.h"

namespace nx::epc {
namespace {

constexpr const char *kFn = "_nx_update_len_param";
constexpr int kLensLines = 11;
constexpr int kCoefficients = 5;
// Sizes beyond any sensor: an image size from a damaged file would otherwise
// size the undistortion maps.
constexpr long kMaxImageSide = 4096;

// Only the line's first space-separated token counts.
std::string first_token(const std::string &line) {
    return line.substr(0, line.find(' '));
}

// A number at the start of the token (what "%lf" would read); none when the
// token does not start with one or the value is not finite.
std::optional<double> real_value(const std::string &token) {
    const char *begin = token.c_str();
    char *end = nullptr;
    errno = 0;
    const double v = std::strtod(begin, &end);
    if (end == begin || errno == ERANGE || !std::isfinite(v)) return std::nullopt;
    return v;
}

// An integer in decimal, hexadecimal (0x140) or octal (0240), as "%i" reads.
std::optional<long> integer_value(const std::string &token) {
    const char *begin = token.c_str();
    char *end = nullptr;
    errno = 0;
    const long v = std::strtol(begin, &end, 0);
    if (end == begin || errno == ERANGE) return std::nullopt;
    return v;
}

void keep_previous(int line_no, const std::string &line) {
    NX_WRN(kFn, "[%s] line %d \"%s\": no usable value, the previous one is kept\n", line_no,
           line.c_str());
}

// Stores line `line_no` (1-based) into its field; lines beyond the record are
// ignored.
void store_line(int line_no, const std::string &line, epc_lens_param &lens) {
    const std::string token = first_token(line);
    if (line_no <= 4 + kCoefficients) {
        std::optional<double> v = real_value(token);
        // A zero focal length would put every point at infinity.
        if (v && line_no >= 3 && line_no <= 4 && *v == 0.0) v.reset();
        if (!v) return keep_previous(line_no, line);
        switch (line_no) {
            case 1:
                lens.cx = *v;
                NX_DBG(kFn, "[%s] Cx:%3.5f\n", lens.cx);
                break;
            case 2:
                lens.cy = *v;
                NX_DBG(kFn, "[%s] Cy:%3.5f\n", lens.cy);
                break;
            case 3:
                lens.fx = *v;
                NX_DBG(kFn, "[%s] Fx:%3.5f\n", lens.fx);
                break;
            case 4:
                lens.fy = *v;
                NX_DBG(kFn, "[%s] Fy:%3.5f\n", lens.fy);
                break;
            default: {
                const int i = line_no - 5;
                lens.dcoeff[i] = *v;
                NX_DBG(kFn, "[%s] dcoeff[%d]:%3.5f\n", i, lens.dcoeff[i]);
                break;
            }
        }
        return;
    }
    if (line_no > kLensLines) return;
    const std::optional<long> v = integer_value(token);
    if (!v || *v < 1 || *v > kMaxImageSide) return keep_previous(line_no, line);
    if (line_no == 10) {
        lens.img_w = static_cast<int>(*v);
        NX_DBG(kFn, "[%s] img_w = %d\n", lens.img_w);
    } else {
        lens.img_h = static_cast<int>(*v);
        NX_DBG(kFn, "[%s] img_h = %d\n", lens.img_h);
    }
}

}  // namespace

bool read_lens_file(const std::string &path, epc_lens_param &lens) {
    std::ifstream file(path);
    if (!file) {
        NX_DBG(kFn, "[%s] %s Open failed, use default param\n", path.c_str());
        return false;
    }
    int lines = 0;
    std::string line;
    while (std::getline(file, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        store_line(++lines, line, lens);
    }
    if (lines != kLensLines) {
        NX_WRN(kFn, "[%s] Param number maybe not right\n");
        return false;
    }
    NX_DBG(kFn, "[%s] Reload lens param ok\n");
    return true;
}

}  // namespace nx::epc
