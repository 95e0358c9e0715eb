// Export control for the shader library. Only the shader, its version query
// and miSetModuleHandle leave the library; everything else, the forwarding
// routines named like the renderer's functions above all, stays hidden so that
// no lookup by name outside the library can ever find them.
#pragma once

#if defined(_WIN32)
#define GW_MI_EXPORT __declspec(dllexport)
#else
#define GW_MI_EXPORT __attribute__((visibility("default")))
#endif

// A test build exposes the forwarders to check that a lookup finding them is
// treated as failed; the shipped library never does.
#if defined(GLINTWEAVE_EXPOSE_FORWARDERS) && !defined(_WIN32)
#define GW_MI_FORWARDER __attribute__((visibility("default")))
#else
#define GW_MI_FORWARDER
#endif
