"""The peer of the preview's efficiency figures: Blender Cycles rendering the
scene the preview renders, at a few sample counts, against a reference of its
own. Optional, and never run by CI (Blender is a large package). Where
Debian's `blender` is installed (3.4 was used for BENCHMARKS.md):

    blender --background --factory-startup --python bench/cycles_peer.py -- \
        --stage DIR [--spp 4,16,64] [--reference-spp 1024] [--repeats 1]

renders the stage that `glintweave_efficiency --peer` wrote into DIR
(stage.json: the model as OBJ, the environment image with its rotation and
intensity, the camera, size and threads) and writes each render as a linear
OpenEXR file into DIR, one line per render on standard output:

    cycles_peer: rendered NAME spp=N seed=S seconds=WALL cpu=CPU file=PATH

`glintweave_efficiency --peer` runs this itself (with Cycles' log on, whose
"Render time (without synchronization)" line follows each render) and
measures the files exactly as it measures the preview's images.

Without --stage it builds the preview's default scene instead (three spheres,
area key and point fill lights, the softbox studio) and prints efficiency =
1 / (RMSE^2 x seconds) with the RMSE in 8-bit sRGB codes of its own PNGs:

    blender --background --factory-startup --python bench/cycles_peer.py -- \
        [--spp 4,16,64] [--reference-spp 1024] [--threads 2] [--size 400x300]

Either way: Cycles' own Ashikhmin-Shirley anisotropic BSDF mixed with a
diffuse one, from the brushed-metal preset's exponents, a diffuse floor with a
little gloss, no denoising, no adaptive sampling, no clamping, a one-pixel box
filter (the preview's), the Standard view transform (plain sRGB).

The preview's axes are x right, y up, the camera looking down -z; Blender's
are z up, so a preview point (x, y, z) is placed at (x, -z, y).
"""

import argparse
import json
import math
import os
import sys
import tempfile
import time

import bpy
from mathutils import Matrix


def parse_args():
    argv = sys.argv[sys.argv.index("--") + 1:] if "--" in sys.argv else []
    p = argparse.ArgumentParser(prog="cycles_peer.py")
    p.add_argument("--spp", default="4,16,64", help="sample counts of the timed renders")
    p.add_argument("--reference-spp", type=int, default=1024)
    p.add_argument("--threads", type=int, default=2)
    p.add_argument("--size", default="400x300", help="WIDTHxHEIGHT")
    p.add_argument("--stage", help="the folder glintweave_efficiency --peer wrote")
    p.add_argument("--repeats", type=int, default=1, help="renders per sample count (--stage)")
    p.add_argument("--serve", action="store_true",
                   help="with --stage: render what standard input asks, a line "
                        "'render NAME SPP SEED' at a time, until 'quit'")
    a = p.parse_args(argv)
    a.spp = [int(s) for s in a.spp.split(",")]
    a.width, a.height = (int(v) for v in a.size.split("x"))
    return a


def to_blender(x, y, z):
    return (x, -z, y)


# ---- the scene ---------------------------------------------------------------------

def clear_scene():
    bpy.ops.wm.read_factory_settings(use_empty=True)


def add_camera(scene):
    data = bpy.data.cameras.new("camera")
    data.sensor_fit = "VERTICAL"
    data.angle_y = math.radians(40.0)
    cam = bpy.data.objects.new("camera", data)
    cam.location = (0.0, 0.0, 0.0)
    # A Blender camera looks down its local -z: turned 90 degrees about x it
    # looks along +y, the preview's -z.
    cam.rotation_euler = (math.radians(90.0), 0.0, 0.0)
    scene.collection.objects.link(cam)
    scene.camera = cam


def ashikhmin_shirley_roughness(nu, nv):
    """Cycles' roughness and anisotropy for Ashikhmin-Shirley exponents.

    Cycles turns roughness r and anisotropy a >= 0 into alpha_x = r^2 (1 - a)
    and alpha_y = r^2 / (1 - a), and an Ashikhmin-Shirley exponent is
    n = 2 / alpha^2 - 2, so alpha = sqrt(2 / (n + 2)). alpha_x runs along the
    tangent, which on a UV sphere goes around it, as the preview's first
    tangent (the y axis crossed with the normal) does.
    """
    ax = math.sqrt(2.0 / (nu + 2.0))
    ay = math.sqrt(2.0 / (nv + 2.0))
    r2 = math.sqrt(ax * ay)
    if ax <= ay:
        return math.sqrt(r2), 1.0 - ax / r2
    return math.sqrt(r2), -(1.0 - ay / r2)


def glossy_material(name, color, diffuse, nu, nv, gloss_weight, gain=1.0, ambient=0.0,
                    around_vertical=False):
    """Diffuse and anisotropic glossy mixed by `gloss_weight`, both scaled by
    `gain`, plus `ambient` times the colour as emission (the shader's ambient
    term). With `around_vertical` the first tangent runs around the vertical
    axis, as the preview's (the y axis crossed with the normal) does; a mesh
    without texture coordinates has no tangent of its own."""
    color = tuple(c * gain for c in color)
    mat = bpy.data.materials.new(name)
    mat.use_nodes = True
    nodes, links = mat.node_tree.nodes, mat.node_tree.links
    nodes.clear()
    out = nodes.new("ShaderNodeOutputMaterial")
    diff = nodes.new("ShaderNodeBsdfDiffuse")
    diff.inputs["Color"].default_value = (*(c * diffuse for c in color), 1.0)
    aniso = nodes.new("ShaderNodeBsdfAnisotropic")
    aniso.distribution = "ASHIKHMIN_SHIRLEY"
    roughness, anisotropy = ashikhmin_shirley_roughness(nu, nv)
    aniso.inputs["Color"].default_value = (*color, 1.0)
    aniso.inputs["Roughness"].default_value = roughness
    aniso.inputs["Anisotropy"].default_value = anisotropy
    if around_vertical:
        tangent = nodes.new("ShaderNodeTangent")
        tangent.direction_type = "RADIAL"
        tangent.axis = "Z"
        links.new(tangent.outputs["Tangent"], aniso.inputs["Tangent"])
    mix = nodes.new("ShaderNodeMixShader")
    mix.inputs["Fac"].default_value = gloss_weight
    links.new(diff.outputs["BSDF"], mix.inputs[1])
    links.new(aniso.outputs["BSDF"], mix.inputs[2])
    surface = mix.outputs["Shader"]
    if ambient > 0.0:
        emit = nodes.new("ShaderNodeEmission")
        emit.inputs["Color"].default_value = (*(c / gain * ambient for c in color), 1.0)
        add = nodes.new("ShaderNodeAddShader")
        links.new(surface, add.inputs[0])
        links.new(emit.outputs["Emission"], add.inputs[1])
        surface = add.outputs["Shader"]
    links.new(surface, out.inputs["Surface"])
    return mat


def add_sphere(scene, centre, radius, mat):
    bpy.ops.mesh.primitive_uv_sphere_add(segments=128, ring_count=64, radius=radius,
                                         location=to_blender(*centre))
    obj = bpy.context.active_object
    bpy.ops.object.shade_smooth()
    obj.data.materials.append(mat)


def add_ground(scene, mat):
    bpy.ops.mesh.primitive_plane_add(size=200.0, location=(0.0, 0.0, -1.0))
    bpy.context.active_object.data.materials.append(mat)


def add_lights(scene):
    hero = to_blender(0.0, 0.0, -5.4)

    def irradiance_power(position, intensity, area):
        # The preview's lights give `intensity` at any distance; Cycles' fall
        # off. Match the preview at the big sphere's centre: a point light of
        # power P gives P / (4 pi d^2) there; a one-sided area light facing
        # down gives P cos(theta) / (pi d^2).
        d = [h - p for h, p in zip(hero, position)]
        d2 = sum(c * c for c in d)
        strength = max(intensity)
        if not area:
            return 4.0 * math.pi * d2 * strength
        cos_theta = -d[2] / math.sqrt(d2)
        return math.pi * d2 * strength / cos_theta

    key_pos = to_blender(2.6, 3.4, -1.8)
    key_int = (1.5, 1.44, 1.35)
    key = bpy.data.lights.new("key", type="AREA")
    key.shape = "SQUARE"
    key.size = 1.4
    key.color = tuple(c / max(key_int) for c in key_int)
    key.energy = irradiance_power(key_pos, key_int, True)
    obj = bpy.data.objects.new("key", key)
    obj.location = key_pos  # an area light faces down its local -z: down
    scene.collection.objects.link(obj)

    fill_pos = to_blender(-3.6, 1.2, -0.8)
    fill_int = (0.3, 0.34, 0.42)
    fill = bpy.data.lights.new("fill", type="POINT")
    fill.shadow_soft_size = 0.0
    fill.color = tuple(c / max(fill_int) for c in fill_int)
    fill.energy = irradiance_power(fill_pos, fill_int, False)
    obj = bpy.data.objects.new("fill", fill)
    obj.location = fill_pos
    scene.collection.objects.link(obj)


def add_softbox(scene, centre, long_hint, half_length, half_width, radiance, index):
    """A bright rectangle far away, seen only by reflections, as the studio's."""
    c = normalized(centre)
    a = normalized([h - c_ * dot(long_hint, c) for h, c_ in zip(long_hint, c)])
    distance = 60.0
    length = 2.0 * distance * math.tan(half_length)
    width = 2.0 * distance * math.tan(half_width)
    bpy.ops.mesh.primitive_plane_add(size=1.0)
    obj = bpy.context.active_object
    obj.name = "softbox%d" % index
    # Local x across the box, local y along it, local z (the plane's normal)
    # towards the origin.
    x_axis = to_blender(*cross(c, a))
    y_axis = to_blender(*a)
    z_axis = to_blender(*[-v for v in c])
    rot = Matrix((x_axis, y_axis, z_axis)).transposed().to_4x4()
    obj.matrix_world = (Matrix.Translation(to_blender(*[v * distance for v in c])) @ rot @
                        Matrix.Diagonal((width, length, 1.0, 1.0)))
    mat = bpy.data.materials.new("softbox%d" % index)
    mat.use_nodes = True
    nodes, links = mat.node_tree.nodes, mat.node_tree.links
    nodes.clear()
    emit = nodes.new("ShaderNodeEmission")
    emit.inputs["Color"].default_value = (*radiance, 1.0)
    emit.inputs["Strength"].default_value = 1.0
    out = nodes.new("ShaderNodeOutputMaterial")
    links.new(emit.outputs["Emission"], out.inputs["Surface"])
    obj.data.materials.append(mat)
    obj.visible_camera = False
    obj.visible_shadow = False


def add_world(scene):
    """The studio sky: horizon to zenith by sqrt(height), a dark floor below."""
    world = bpy.data.worlds.new("studio")
    scene.world = world
    world.use_nodes = True
    nodes, links = world.node_tree.nodes, world.node_tree.links
    nodes.clear()
    coords = nodes.new("ShaderNodeTexCoord")  # Generated: the ray's direction
    xyz = nodes.new("ShaderNodeSeparateXYZ")
    links.new(coords.outputs["Generated"], xyz.inputs["Vector"])
    clamp = nodes.new("ShaderNodeClamp")
    links.new(xyz.outputs["Z"], clamp.inputs["Value"])
    sqrt = nodes.new("ShaderNodeMath")
    sqrt.operation = "SQRT"
    links.new(clamp.outputs["Result"], sqrt.inputs[0])
    sky = nodes.new("ShaderNodeMixRGB")
    sky.inputs["Color1"].default_value = (0.05, 0.05, 0.055, 1.0)
    sky.inputs["Color2"].default_value = (0.11, 0.115, 0.13, 1.0)
    links.new(sqrt.outputs["Value"], sky.inputs["Fac"])
    below = nodes.new("ShaderNodeMath")
    below.operation = "LESS_THAN"
    below.inputs[1].default_value = 0.0
    links.new(xyz.outputs["Z"], below.inputs[0])
    floor = nodes.new("ShaderNodeMixRGB")
    links.new(below.outputs["Value"], floor.inputs["Fac"])
    links.new(sky.outputs["Color"], floor.inputs["Color1"])
    floor.inputs["Color2"].default_value = (0.025, 0.025, 0.025, 1.0)
    bg = nodes.new("ShaderNodeBackground")
    links.new(floor.outputs["Color"], bg.inputs["Color"])
    out = nodes.new("ShaderNodeOutputWorld")
    links.new(bg.outputs["Background"], out.inputs["Surface"])


def normalized(v):
    n = math.sqrt(dot(v, v))
    return [c / n for c in v]


def dot(a, b):
    return sum(x * y for x, y in zip(a, b))


def cross(a, b):
    return [a[1] * b[2] - a[2] * b[1], a[2] * b[0] - a[0] * b[2], a[0] * b[1] - a[1] * b[0]]


def settings(scene, threads, width, height):
    """What both scenes render with: Cycles on the CPU, every pixel the same
    number of samples, nothing filtered or clamped away."""
    scene.render.engine = "CYCLES"
    scene.cycles.device = "CPU"
    scene.render.threads_mode = "FIXED"
    scene.render.threads = threads
    scene.render.resolution_x = width
    scene.render.resolution_y = height
    scene.render.resolution_percentage = 100
    scene.cycles.use_adaptive_sampling = False
    scene.cycles.use_denoising = False
    scene.cycles.sample_clamp_direct = 0.0
    scene.cycles.sample_clamp_indirect = 0.0
    scene.cycles.transmission_bounces = 0
    scene.cycles.volume_bounces = 0
    scene.cycles.transparent_max_bounces = 0
    scene.cycles.filter_type = "BOX"
    scene.cycles.filter_width = 1.0
    scene.view_settings.view_transform = "Standard"
    scene.view_settings.look = "None"
    scene.render.dither_intensity = 0.0  # dither would add noise of its own to the PNGs
    scene.render.image_settings.file_format = "PNG"
    scene.render.image_settings.color_mode = "RGB"
    scene.render.image_settings.color_depth = "8"


def build_scene(args):
    clear_scene()
    scene = bpy.context.scene
    add_camera(scene)
    metal = glossy_material("brushed-metal", (0.78, 0.78, 0.8), 0.12, 600.0, 12.0, 0.85)
    floor = glossy_material("floor", (0.42, 0.42, 0.44), 0.9, 30.0, 30.0, 0.08)
    add_sphere(scene, (0.0, 0.0, -5.4), 1.0, metal)
    add_sphere(scene, (-1.55, -0.45, -4.5), 0.55, metal)
    add_sphere(scene, (1.55, -0.45, -4.5), 0.55, metal)
    add_ground(scene, floor)
    add_lights(scene)
    deg = math.pi / 180.0
    add_softbox(scene, (0.65, 0.25, 1.0), (0, 1, 0), 38 * deg, 4.5 * deg, (2.6, 2.5, 2.3), 0)
    add_softbox(scene, (-0.75, 0.2, 1.0), (0, 1, 0), 32 * deg, 3.5 * deg, (1.4, 1.6, 1.9), 1)
    add_softbox(scene, (0.0, 1.0, -0.35), (1, 0, 0), 45 * deg, 3.0 * deg, (1.8, 1.8, 1.8), 2)
    add_world(scene)

    settings(scene, args.threads, args.width, args.height)
    scene.cycles.max_bounces = 2
    scene.cycles.diffuse_bounces = 2
    scene.cycles.glossy_bounces = 2
    return scene


# ---- a stage written by glintweave_efficiency --peer -------------------------------

METAL_GAIN = 3.8
FLOOR_GAIN = 1.7


def blender_matrix(right, up, back, position):
    """The world matrix of an object whose local x, y, z are the preview's
    `right`, `up`, `back` (a camera looks down its local -z with y up, as
    the preview's does), at `position`."""
    x, y, z = (to_blender(*v) for v in (right, up, back))
    t = to_blender(*position)
    return Matrix(((x[0], y[0], z[0], t[0]),
                   (x[1], y[1], z[1], t[1]),
                   (x[2], y[2], z[2], t[2]),
                   (0.0, 0.0, 0.0, 1.0)))


def add_stage_camera(scene, cam):
    data = bpy.data.cameras.new("camera")
    data.sensor_fit = "VERTICAL"
    data.angle_y = cam["fov_y"]
    obj = bpy.data.objects.new("camera", data)
    obj.matrix_world = blender_matrix(cam["right"], cam["up"], cam["back"], cam["position"])
    scene.collection.objects.link(obj)
    scene.camera = obj


def add_stage_model(path, mat):
    # The OBJ is in the preview's axes (y up, -z ahead), already placed where
    # the preview places it; the importer's axis conversion for y up and -z
    # forward is exactly (x, y, z) -> (x, -z, y). Its normals become the
    # mesh's custom normals, so both renderers shade the same normals.
    bpy.ops.wm.obj_import(filepath=path, forward_axis="NEGATIVE_Z", up_axis="Y")
    # The importer may leave the axis conversion in the object's transform:
    # applied, the object's axes are the world's, which the tangent takes.
    bpy.ops.object.transform_apply(location=True, rotation=True, scale=True)
    for obj in bpy.context.selected_objects:
        obj.data.materials.clear()
        obj.data.materials.append(mat)
        for poly in obj.data.polygons:
            poly.use_smooth = True


def add_stage_world(scene, env):
    """The environment image as the world, seen by rays that miss and lighting
    the scene (Cycles samples it by importance).

    The preview's map has its centre column straight ahead (-z, Blender's +y)
    and columns to the right turning towards +x; Cycles' has its centre along
    +x, turning the same way. So the direction is turned by -90 degrees about
    the vertical before the lookup, and by the environment's own rotation
    (the preview turns the map counter-clockwise seen from above by `rotate`,
    so a direction looks up the map turned back by it)."""
    world = bpy.data.worlds.new("environment")
    scene.world = world
    world.use_nodes = True
    nodes, links = world.node_tree.nodes, world.node_tree.links
    nodes.clear()
    coords = nodes.new("ShaderNodeTexCoord")
    mapping = nodes.new("ShaderNodeMapping")
    mapping.vector_type = "VECTOR"
    mapping.inputs["Rotation"].default_value = (0.0, 0.0, math.radians(-90.0 - env["rotate"]))
    links.new(coords.outputs["Generated"], mapping.inputs["Vector"])
    tex = nodes.new("ShaderNodeTexEnvironment")
    tex.image = bpy.data.images.load(env["path"], check_existing=False)
    tex.image.colorspace_settings.name = "Linear"
    tex.interpolation = "Linear"
    tex.projection = "EQUIRECTANGULAR"
    links.new(mapping.outputs["Vector"], tex.inputs["Vector"])
    bg = nodes.new("ShaderNodeBackground")
    bg.inputs["Strength"].default_value = env["intensity"]
    links.new(tex.outputs["Color"], bg.inputs["Color"])
    out = nodes.new("ShaderNodeOutputWorld")
    links.new(bg.outputs["Background"], out.inputs["Surface"])
    # Importance sampling by the map's own texels, as the preview's lights
    # are cut from them (left to itself, Cycles builds a 4096 x 2048 table
    # from any map, which takes seconds per render here).
    world.cycles.sampling_method = "MANUAL"
    world.cycles.sample_map_resolution = tex.image.size[0]


def build_stage(stage):
    clear_scene()
    scene = bpy.context.scene
    add_stage_camera(scene, stage["camera"])
    # The glintWeave shader is not energy-conserving as Cycles' BSDFs are: it
    # adds traced reflections (gain 5, Fresnel-weighted) to the lights'
    # highlights, takes each light's diffuse part without the cosine, and the
    # floor has an ambient term. The Cycles colours are scaled so that the
    # model and the floor come out about as bright as in the preview (checked
    # on the two references), so that both pictures show the same exposure.
    metal = glossy_material("brushed-metal", (0.78, 0.78, 0.8), 0.12, 600.0, 12.0, 0.85,
                            gain=METAL_GAIN, around_vertical=True)
    floor = glossy_material("floor", (0.42, 0.42, 0.44), 0.9, 30.0, 30.0, 0.08,
                            gain=FLOOR_GAIN, ambient=0.12)
    add_stage_model(stage["mesh"], metal)
    bpy.ops.mesh.primitive_plane_add(size=400.0, location=(0.0, 0.0, stage["ground_height"]))
    bpy.context.active_object.data.materials.append(floor)
    add_stage_world(scene, stage["environment"])
    settings(scene, stage["threads"], stage["width"], stage["height"])
    # The preview's light paths: direct light at every hit, and one glossy
    # bounce (the reflections a camera ray's hit traces are shaded with
    # direct light only); no light bounced off diffuse surfaces.
    scene.cycles.max_bounces = 1
    scene.cycles.diffuse_bounces = 0
    scene.cycles.glossy_bounces = 1
    scene.render.image_settings.file_format = "OPEN_EXR"
    scene.render.image_settings.color_depth = "32"
    scene.render.image_settings.exr_codec = "NONE"
    return scene


def render_stage(scene, name, spp, seed, folder):
    scene.cycles.samples = spp
    scene.cycles.seed = seed
    scene.cycles.use_animated_seed = False
    path = os.path.join(folder, "cycles-%s.exr" % name)
    print("cycles_peer: rendering %s" % name)
    sys.stdout.flush()
    start, cpu = time.perf_counter(), time.process_time()
    bpy.ops.render.render(write_still=False)
    seconds, cpu = time.perf_counter() - start, time.process_time() - cpu
    bpy.data.images["Render Result"].save_render(filepath=path)
    print("cycles_peer: rendered %s spp=%d seed=%d seconds=%.6f cpu=%.6f file=%s" %
          (name, spp, seed, seconds, cpu, path))
    sys.stdout.flush()


def run_stage(args):
    folder = os.path.abspath(args.stage)
    with open(os.path.join(folder, "stage.json")) as f:
        stage = json.load(f)
    scene = build_stage(stage)
    print("cycles_peer: Blender %s, %dx%d, %d threads" %
          (bpy.app.version_string, stage["width"], stage["height"], stage["threads"]))
    # The first render also pays for loading Cycles' kernels, so a tiny one
    # goes before the others.
    render_stage(scene, "warm-up", 1, 999, folder)
    if args.serve:
        # So that the caller can interleave these renders with its own.
        print("cycles_peer: ready")
        sys.stdout.flush()
        for line in sys.stdin:
            words = line.split()
            if words[:1] == ["quit"]:
                break
            if len(words) == 4 and words[0] == "render":
                render_stage(scene, words[1], int(words[2]), int(words[3]), folder)
            else:
                print("cycles_peer: cannot do '%s'" % line.strip())
                sys.stdout.flush()
        return
    # The reference in two halves of other seeds.
    half = max(1, args.reference_spp // 2)
    render_stage(scene, "reference-a", half, 1000, folder)
    render_stage(scene, "reference-b", half, 2000, folder)
    seed = 1
    for r in range(args.repeats):
        for spp in args.spp:
            render_stage(scene, "%d-spp-%d" % (spp, r + 1), spp, seed, folder)
            seed += 1


# ---- rendering and measuring ---------------------------------------------------

def render(scene, spp, seed, path):
    """Renders `spp` samples with `seed`; returns the seconds and the 8-bit codes."""
    scene.cycles.samples = spp
    scene.cycles.seed = seed
    scene.cycles.use_animated_seed = False
    scene.render.filepath = path
    start = time.perf_counter()
    bpy.ops.render.render(write_still=True)
    seconds = time.perf_counter() - start
    image = bpy.data.images.load(path, check_existing=False)
    pixels = list(image.pixels)  # RGBA floats, code / 255
    bpy.data.images.remove(image)
    codes = [round(v * 255.0) for i, v in enumerate(pixels) if i % 4 != 3]
    return seconds, codes


def rmse(a, b):
    return math.sqrt(sum((x - y) * (x - y) for x, y in zip(a, b)) / len(a))


def main():
    args = parse_args()
    if args.stage:
        run_stage(args)
        return
    scene = build_scene(args)
    tmp = tempfile.mkdtemp(prefix="cycles-peer-")
    print("cycles_peer: Blender %s, %dx%d, %d threads, reference %d spp" %
          (bpy.app.version_string, args.width, args.height, args.threads, args.reference_spp))
    ref_seconds, reference = render(scene, args.reference_spp, 1000, os.path.join(tmp, "ref.png"))
    print("reference: %.1f s" % ref_seconds)
    print("%5s %9s %7s %11s" % ("spp", "seconds", "RMSE", "efficiency"))
    for k, spp in enumerate(args.spp):
        seconds, codes = render(scene, spp, 1 + k, os.path.join(tmp, "spp%d.png" % spp))
        e = rmse(codes, reference)
        print("%5d %9.2f %7.2f %11.4f" % (spp, seconds, e, 1.0 / (e * e * seconds)))
        sys.stdout.flush()


main()
