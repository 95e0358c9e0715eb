// Stand-in for the devkit's <maya/MTypes.h>: API version, export macros and
// the function types handed to registration.
#pragma once

#include <cstddef>
#include <cstdint>

// The API this stand-in mirrors. Compare with >= or > only.
#define MAYA_API_VERSION 200800

#define MAYA_STRINGIFY_(x) #x
#define MAYA_STRINGIFY(x) MAYA_STRINGIFY_(x)

#if defined(_WIN32)
#ifndef PLUGIN_EXPORT
#define PLUGIN_EXPORT __declspec(dllexport)
#endif
#if defined(MAYA_STANDIN_BUILDING_HOST)
#define OPENMAYA_EXPORT __declspec(dllexport)
#else
#define OPENMAYA_EXPORT __declspec(dllimport)
#endif
#else
#define DLL_PUBLIC __attribute__((visibility("default")))
#ifndef PLUGIN_EXPORT
#define PLUGIN_EXPORT DLL_PUBLIC
#endif
#define OPENMAYA_EXPORT DLL_PUBLIC
#endif

#ifndef NULL
#define NULL 0
#endif

typedef float float2[2];
typedef float float3[3];
typedef double double3[3];
typedef long long MInt64;
typedef uintptr_t MUintPtrSz;

class MStatus;
class MPxNode;

typedef void* (*MCreatorFunction)();
typedef MStatus (*MInitializeFunction)();

// The stand-in host's private records, reached through the opaque pointers
// that the API classes carry. Nothing outside hosts/maya names them. The few
// the headers' inline data access reads (AttrView, ValueSlot, BlockContext)
// are defined in MObject.h and MDataHandle.h.
namespace mayahost {
namespace detail {
struct Access;
struct Attr;
struct AttrView;
struct NodeTypeRec;
struct Storage;
struct ValueSlot;
struct ElementStore;
struct ArrayStore;
struct BlockContext;
}  // namespace detail
}  // namespace mayahost
