#!/usr/bin/env python3
"""compare_builds.py SOURCE_DIR WORK_DIR CMAKE

Makefile.macosx against the CMake build: the same programs and library,
each from the same sources, every source compiled with the same language
standard, warnings, optimisation, definitions and project include folders,
and linked with the same pieces of the platform; and Mac OS X's own
settings (architectures, oldest release, definitions, frameworks) as the
CMake build sets them on the platform.

The CMake side is what CMake's file API reports for a fresh configure
(without tests) in WORK_DIR; the makefile side is what `make -n` would run.
Prints every difference and exits 1 if there is any.
"""
import glob
import json
import os
import re
import shlex
import subprocess
import sys

src, work, cmake = sys.argv[1], sys.argv[2], sys.argv[3]
src = os.path.realpath(src)
differences = []


def differ(what, cmake_side, make_side):
    if cmake_side != make_side:
        differences.append(f"{what}:\n  CMake:    {cmake_side}\n  makefile: {make_side}")


# Flags of the build for Linux only: position-independent code, which is
# the target's default, and the strictness that makes glibc's headers as
# the target's are.
LINUX_ONLY = {"-fPIC", "-fPIE", "-pedantic-errors", "-U_GNU_SOURCE", "-D_DEFAULT_SOURCE"}


def kept_flags(words):
    return sorted(w for w in words if w not in LINUX_ONLY and not w.startswith("-I"))


def include_folder(path, build):
    """An include folder as the source tree's, or as one the build made."""
    if path.startswith(build + os.sep):
        return "(generated in the build)"
    return os.path.relpath(os.path.realpath(path), src)


# --- CMake: the file API's code model of a fresh configure ---------------

def cmake_model():
    build = os.path.join(work, "cmake")
    query = os.path.join(build, ".cmake/api/v1/query/codemodel-v2")
    os.makedirs(os.path.dirname(query), exist_ok=True)
    open(query, "w").close()
    env = {k: v for k, v in os.environ.items() if k not in ("CFLAGS", "CXXFLAGS", "LDFLAGS")}
    subprocess.run([cmake, "-S", src, "-B", build, "-DARDOVA_BUILD_TESTS=OFF",
                    "-DCMAKE_BUILD_TYPE=RelWithDebInfo"], check=True, stdout=subprocess.DEVNULL, env=env)
    reply = os.path.join(build, ".cmake/api/v1/reply")
    index = json.load(open(sorted(glob.glob(os.path.join(reply, "index-*.json")))[-1]))
    codemodel = next(o for o in index["objects"] if o["kind"] == "codemodel")
    model = json.load(open(os.path.join(reply, codemodel["jsonFile"])))
    targets = {}
    for t in model["configurations"][0]["targets"]:
        target = json.load(open(os.path.join(reply, t["jsonFile"])))
        targets[target["id"]] = target
    build = os.path.realpath(build)

    def compiled(target):
        """{source: (language, flags, include folders)} for each source the target compiles."""
        result = {}
        for source in target.get("sources", []):
            if "compileGroupIndex" not in source:
                continue
            group = target["compileGroups"][source["compileGroupIndex"]]
            words = []
            for fragment in group.get("compileCommandFragments", []):
                words += shlex.split(fragment["fragment"])
            # Less the definition CMake makes for every shared library,
            # which the source does not use.
            words += ["-D" + d["define"] for d in group.get("defines", [])
                      if d["define"] != target["name"] + "_EXPORTS"]
            includes = sorted(include_folder(i["path"], build) for i in group.get("includes", []))
            includes = [i for i in includes if i != "compat/include"]  # the platform layer
            result[source["path"]] = (group["language"], kept_flags(words), includes)
        return result

    pieces_of = {"compat_libc": "libc", "compat_locked_open": "locked_open",
                 "compat_preallocate": "preallocate", "compat_cf": "CoreFoundation",
                 "compat_da": "DiskArbitration"}
    programs, library = {}, {}
    for target in targets.values():
        under_tools = target["paths"]["source"].startswith("Tools/")
        if target["type"] == "EXECUTABLE" and under_tools:
            sources = compiled(target)
            pieces = set()
            for dependency in target.get("dependencies", []):
                dep = targets[dependency["id"]]
                if dep["name"] in pieces_of:
                    pieces.add(pieces_of[dep["name"]])
                elif dep["type"] == "STATIC_LIBRARY" and dep["paths"]["source"].startswith("Tools/"):
                    sources.update(compiled(dep))
            fragments = [f["fragment"] for f in target.get("link", {}).get("commandFragments", [])]
            if any(re.search(r"libcrypto|-lcrypto\b", f) for f in fragments):
                pieces.add("crypto")
            programs[target["nameOnDisk"]] = (sources, sorted(pieces))
        elif target["type"] in ("SHARED_LIBRARY", "STATIC_LIBRARY") and \
                target["paths"]["source"] == "Tools/PrivRunner":
            library[target["type"]] = compiled(target)
    return programs, library


# --- The makefile: what it would run -------------------------------------

MARKERS = {"PLATFORM_LIBS": "libc", "LOCKED_OPEN_LIBS": "locked_open",
           "PREALLOCATE_LIBS": "preallocate", "CF_LIBS": "CoreFoundation",
           "DA_LIBS": "DiskArbitration", "CRYPTO_LIBS": "crypto"}


def make(*arguments):
    return subprocess.run(["make", "--no-print-directory", "-f", os.path.join(src, "Makefile.macosx")] +
                          list(arguments), check=True, capture_output=True, text=True).stdout


def make_model():
    # Markers in place of the compilers and of the platform's flags and
    # libraries show where each goes in the commands.
    overrides = ["BUILDDIR=/build", "CC=:cc", "CXX=:cxx", "PLATFORM_CFLAGS=:platform",
                 "MKSTATIC=:static"] + [f"{v}=:{m}" for v, m in MARKERS.items()]
    compiles, links = {}, {}
    for line in make("-n", "-B", *overrides, "all").splitlines():
        words = shlex.split(line) if line[:1] == ":" else []
        if not words:
            continue
        if "-c" in words:  # compiler, flags, -c -o OBJECT SOURCE
            language = {":cc": "C", ":cxx": "CXX"}[words[0]]
            flags = words[1:words.index("-c")]
            includes = sorted(include_folder(w[2:], "/build") for w in flags if w.startswith("-I"))
            source = os.path.relpath(os.path.realpath(words[-1]), src)
            compiles[words[words.index("-o") + 1]] = (source, language,
                                                      kept_flags(w for w in flags if w != ":platform"),
                                                      includes, ":platform" in flags)
        elif words[0] == ":static":
            links[words[1]] = (words[2:], [])
        elif "-o" in words:  # linker, flags, -o OUTPUT OBJECT... LIBRARIES
            output = words[words.index("-o") + 1]
            rest = words[words.index("-o") + 2:]
            links[output] = ([w for w in rest if w.endswith(".o")],
                             sorted({w[1:] for w in rest if w[1:] in MARKERS.values()}))

    def sources(objects):
        result = {}
        for obj in objects:
            source, language, flags, includes, platform = compiles[obj]
            if not platform:
                differences.append(f"{source}: compiled without PLATFORM_CFLAGS")
            result[source] = (language, flags, includes)
        return result

    programs, library = {}, {}
    for output, (objects, pieces) in links.items():
        if output.startswith("/build/bin/"):
            programs[os.path.basename(output)] = (sources(objects), pieces)
        elif output.endswith(".a"):
            library["STATIC_LIBRARY"] = sources(objects)
        elif output.startswith("/build/lib/"):
            library["SHARED_LIBRARY"] = sources(objects)
    return programs, library


def mac_settings_of_cmake():
    """What the top-level CMakeLists.txt sets on Mac OS X, as compiler words."""
    text = open(os.path.join(src, "CMakeLists.txt")).read()
    archs = re.search(r'set\(CMAKE_OSX_ARCHITECTURES "([^"]*)"', text).group(1)
    target = re.search(r'set\(CMAKE_OSX_DEPLOYMENT_TARGET "([^"]*)"', text).group(1)
    apple = re.search(r"\nif\(APPLE\)\n(.*?)\nelse\(\)", text, re.S).group(1)
    definitions = re.findall(r"add_compile_definitions\(([^)]*)\)", apple)
    flags = [w for a in archs.split(";") for w in ("-arch", a)]
    flags.append("-mmacosx-version-min=" + target)
    flags += ["-D" + d for line in definitions for d in line.split()]
    frameworks = dict(re.findall(r'target_link_libraries\((platform_\w+) INTERFACE "([^"]*)"\)', apple))
    return flags, {"CF_LIBS": frameworks.get("platform_cf", ""), "DA_LIBS": frameworks.get("platform_da", ""),
                   "PLATFORM_LIBS": "", "LOCKED_OPEN_LIBS": "", "PREALLOCATE_LIBS": ""}


def main():
    cmake_programs, cmake_library = cmake_model()
    make_programs, make_library = make_model()
    differ("programs", sorted(cmake_programs), sorted(make_programs))
    for name in sorted(set(cmake_programs) & set(make_programs)):
        (cmake_sources, cmake_pieces), (make_sources, make_pieces) = cmake_programs[name], make_programs[name]
        differ(f"{name}: sources", sorted(cmake_sources), sorted(make_sources))
        differ(f"{name}: platform pieces linked", cmake_pieces, make_pieces)
        for source in sorted(set(cmake_sources) & set(make_sources)):
            differ(f"{name}: {source}: language, flags and definitions, include folders",
                   cmake_sources[source], make_sources[source])
    differ("reader library: kinds", sorted(cmake_library), sorted(make_library))
    for kind in sorted(set(cmake_library) & set(make_library)):
        differ(f"reader library ({kind})", cmake_library[kind], make_library[kind])

    flags, libraries = mac_settings_of_cmake()
    platform = make("-s", "print-PLATFORM_CFLAGS").split()
    sdk = make("-s", "print-SDK").strip()
    differ("Mac OS X compile flags", flags, [w for w in platform if w not in ("-isysroot", sdk)])
    for variable, value in libraries.items():
        differ(f"Mac OS X libraries ({variable})", value, make("-s", f"print-{variable}").strip())

    for difference in differences:
        print(difference)
    if differences:
        return 1
    print(f"Makefile.macosx agrees with the CMake build: {len(make_programs)} programs, the reader library")
    return 0


if __name__ == "__main__":
    sys.exit(main())
