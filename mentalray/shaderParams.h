// The shader's parameter block, laid out as the renderer lays it out from the
// declaration in kl4v_glintWeave.mi: fields in declaration order, each on a
// 4-byte boundary, the light array last so that it can run past the block.
#pragma once

#include <shader.h>

#include <cstddef>

struct ShaderParams {
  miColor color;
  miColor ambientColor;
  miColor incandescence;
  miVector normalOffset;
  miScalar diffuse;
  miScalar specularU;
  miScalar specularV;
  miScalar specularPower;
  miScalar reflectivity;
  miInteger reflectSamples;
  miBoolean indirect;
  miColor indirectColor;
  miScalar indirectIntensity;
  miInteger i_light;
  miInteger n_light;
  miTag light[1];
};

static_assert(offsetof(ShaderParams, color) == 0, "color");
static_assert(offsetof(ShaderParams, ambientColor) == 16, "ambientColor");
static_assert(offsetof(ShaderParams, incandescence) == 32, "incandescence");
static_assert(offsetof(ShaderParams, normalOffset) == 48, "normalOffset");
static_assert(offsetof(ShaderParams, diffuse) == 60, "diffuse");
static_assert(offsetof(ShaderParams, specularU) == 64, "specularU");
static_assert(offsetof(ShaderParams, specularV) == 68, "specularV");
static_assert(offsetof(ShaderParams, specularPower) == 72, "specularPower");
static_assert(offsetof(ShaderParams, reflectivity) == 76, "reflectivity");
static_assert(offsetof(ShaderParams, reflectSamples) == 80, "reflectSamples");
static_assert(offsetof(ShaderParams, indirect) == 84, "indirect");
static_assert(offsetof(ShaderParams, indirectColor) == 88, "indirectColor");
static_assert(offsetof(ShaderParams, indirectIntensity) == 104, "indirectIntensity");
static_assert(offsetof(ShaderParams, i_light) == 108, "i_light");
static_assert(offsetof(ShaderParams, n_light) == 112, "n_light");
static_assert(offsetof(ShaderParams, light) == 116, "light");
static_assert(sizeof(ShaderParams) == 120, "ShaderParams size");
static_assert(alignof(ShaderParams) == 4, "4-byte fields, no padding");
