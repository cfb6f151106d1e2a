// Fixture for the data-channel tests: an open simulated camera, closing waits
// recorded instead of slept, and helpers for files and the wire log.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "api/data_link.h"
#include "support/sim_fixture.h"

namespace nxtest {

using Bytes = std::vector<uint8_t>;

inline constexpr uint8_t kDataCmd = 0xCC;
inline constexpr uint8_t kStatusCmd = 0xB0;

class DataTest : public SimTest {
  protected:
    void SetUp() override;
    void TearDown() override;

    // Writes `bytes` into a file of the test's folder; returns its path.
    std::string write_file(const std::string &name, const Bytes &bytes) const;
    static Bytes read_bytes(const std::string &path);
    static bool exists(const std::string &path);

    // Requests on the wire other than status queries, in order.
    std::vector<nxsim::WireRecord> commands() const;
    // Data-channel requests with sub-code `sub` in direction `in`.
    std::vector<nxsim::WireRecord> data_requests(uint16_t sub, bool in = false) const;
    // Closing waits the download asked for since SetUp.
    static std::vector<std::chrono::milliseconds> waits();

    nxsim::Camera cam_;

  private:
    nx::data::Timing previous_;
};

// Deterministic bytes that differ from the simulator's own block pattern.
Bytes image_bytes(size_t size, uint8_t seed = 1);

}  // namespace nxtest
