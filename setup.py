"""Build of the native core: two C++ extension modules.

By default each module is compiled for the running interpreter with the full
C API, which lets the shared helpers take the interpreter's faster calls.
With TARVIX_ABI3=1 in the environment the build is the portable one instead:
compiled against the limited API of Python 3.6, one abi3 binary per module
that loads on 3.6 and every later interpreter (the wheel is tagged
cp36-abi3).  TARVIX_EXTRA_CFLAGS / TARVIX_EXTRA_LDFLAGS add compiler and
linker flags (the sanitizer build uses them).
"""
import os
import shlex
import sys

from setuptools import Extension, setup

ABI3 = os.environ.get("TARVIX_ABI3", "").strip().lower() in ("1", "true", "yes", "on")
CXXFLAGS = ["-std=c++17", "-Wall", "-Wextra", "-fvisibility=hidden"]
CXXFLAGS += shlex.split(os.environ.get("TARVIX_EXTRA_CFLAGS", ""))
LDFLAGS = shlex.split(os.environ.get("TARVIX_EXTRA_LDFLAGS", ""))
HEADERS = ["src/native/pyref.hpp", "src/native/pycall.hpp", "src/native/pyclass.hpp",
           "src/native/pytext.hpp", "src/native/pystack.hpp"]


def native(name, source):
    return Extension(
        name,
        sources=[source],
        include_dirs=["src/native"],
        depends=HEADERS,
        define_macros=[("Py_LIMITED_API", "0x03060000")] if ABI3 else [],
        py_limited_api=ABI3,
        extra_compile_args=CXXFLAGS,
        extra_link_args=LDFLAGS,
        language="c++",
    )


setup(
    ext_modules=[
        native("tarvix.core.implroster", "src/tarvix/core/implroster.cpp"),
        native("tarvix.bases.routers.link_broker", "src/tarvix/bases/routers/link_broker.cpp"),
    ],
    # Each build has a build folder of its own, so that a wheel never picks up
    # the binaries of the other build left in the tree.
    options=dict(
        {"build": {"build_base": "build/abi3" if ABI3 else "build/%s" % sys.implementation.cache_tag}},
        **({"bdist_wheel": {"py_limited_api": "cp36"}} if ABI3 else {})
    ),
)
