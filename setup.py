"""Build of the native core: two C++ extension modules, one abi3 binary each,
compiled against the limited API of Python 3.6 so that the same binary loads
on every later interpreter."""
from setuptools import Extension, setup

LIMITED_API = ("Py_LIMITED_API", "0x03060000")
CXXFLAGS = ["-std=c++17", "-Wall", "-Wextra", "-fvisibility=hidden"]


def native(name, source):
    return Extension(
        name,
        sources=[source],
        include_dirs=["src/native"],
        depends=["src/native/pyref.hpp", "src/native/pycall.hpp", "src/native/pyclass.hpp"],
        define_macros=[LIMITED_API],
        py_limited_api=True,
        extra_compile_args=CXXFLAGS,
        language="c++",
    )


setup(
    ext_modules=[
        native("tarvix.core.implroster", "src/tarvix/core/implroster.cpp"),
        native("tarvix.bases.routers.link_broker", "src/tarvix/bases/routers/link_broker.cpp"),
    ],
)
