// The preview's geometry in the stage's vector type (vec3f.h): points,
// directions and linear RGB colours, and the rays traced through them.
#pragma once

#include "vec3f.h"

namespace gwp {

using Vec3 = gwst::Vec3f;
using Rgb = gwst::Rgb;  // linear RGB, x = red
using gwst::cross;
using gwst::dot;
using gwst::isFinite;
using gwst::length;
using gwst::normalized;

struct Ray {
  Vec3 origin;
  Vec3 dir;  // unit length
};

}  // namespace gwp
