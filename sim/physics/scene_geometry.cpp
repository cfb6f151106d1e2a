#include "sim/physics/scene_geometry.h"

#include <cmath>

namespace nxsim::physics {
namespace {

// The steps scene: planes perpendicular to the optical axis, bounded by
// straight lines (in the scene, so the lens bends them on the sensor).
constexpr double kLeftPlaneMm = 1200, kLeftEdge = -0.35;
constexpr double kRightPlaneMm = 2000, kRightEdge = 0.40;
constexpr double kBoxPlaneMm = 800, kBoxHalfWidth = 0.18, kBoxHalfHeight = 0.15;
constexpr double kBackgroundMm = 3000;

double steps_depth(Ray ray) {
    if (std::fabs(ray.x) <= kBoxHalfWidth && std::fabs(ray.y) <= kBoxHalfHeight) return kBoxPlaneMm;
    if (ray.x < kLeftEdge) return kLeftPlaneMm;
    if (ray.x > kRightEdge) return kRightPlaneMm;
    return kBackgroundMm;
}

}  // namespace

SceneHit hit(const SceneConfig &scene, Ray ray) {
    if (scene.kind == SceneConfig::Kind::Sphere) return {scene.sphere_mm, scene.reflectivity};
    const double depth = scene.kind == SceneConfig::Kind::Wall ? scene.wall_mm : steps_depth(ray);
    // A plane at depth Z is reached after Z * |(x, y, 1)| along the ray.
    return {depth * std::sqrt(1 + ray.x * ray.x + ray.y * ray.y), scene.reflectivity};
}

}  // namespace nxsim::physics
