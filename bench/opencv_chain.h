// The depth smoothing chain built from OpenCV calls, the yardstick of the
// filter and decode benchmarks: median 5x5, Gaussian 3x3, flying pixels
// (Sobel of the quartered image, squared magnitude against threshold / 16,
// steep pixels set to 0) and 3x3 hole filling (a dilation).
#pragma once

#include <cstdint>

namespace nxbench {

// The decode's default flying-pixel threshold.
inline constexpr uint32_t kFlypixThreshold = 90000;

}  // namespace nxbench

#ifdef NIVEX_BENCH_OPENCV

#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>

namespace nxbench {

struct CvFlypix {
    cv::Mat gx, gy, gx2, gy2, mask;
    void operator()(const cv::Mat &s, cv::Mat &d) {
        cv::Sobel(s, gx, CV_32F, 1, 0, 3, 0.25, 0, cv::BORDER_REPLICATE);
        cv::Sobel(s, gy, CV_32F, 0, 1, 3, 0.25, 0, cv::BORDER_REPLICATE);
        cv::multiply(gx, gx, gx2);
        cv::multiply(gy, gy, gy2);
        cv::add(gx2, gy2, gx2);
        cv::compare(gx2, static_cast<double>(kFlypixThreshold >> 4), mask, cv::CMP_GT);
        s.copyTo(d);
        d.setTo(0, mask);
    }
};

struct CvChain {
    cv::Mat kernel = cv::getStructuringElement(cv::MORPH_RECT, cv::Size(3, 3));
    CvFlypix flypix;
    cv::Mat a, b;
    void operator()(const cv::Mat &s, cv::Mat &d) {
        cv::medianBlur(s, a, 5);
        cv::GaussianBlur(a, b, cv::Size(3, 3), 0, 0, cv::BORDER_REPLICATE);
        flypix(b, a);
        cv::dilate(a, d, kernel, cv::Point(-1, -1), 1, cv::BORDER_REPLICATE);
    }
};

}  // namespace nxbench

#endif
