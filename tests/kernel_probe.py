"""The test-only module _marrowvale_kernel_probe, which calls the kernel sets
directly: imported where scripts/test.sh built it, otherwise the importing
test module is skipped."""

import os

import pytest

if os.environ.get("MARROWVALE_KERNEL_PROBE_BUILT"):
    import _marrowvale_kernel_probe as probe
else:
    probe = pytest.importorskip(
        "_marrowvale_kernel_probe", reason="the kernel probe is built by scripts/test.sh (MARROWVALE_KERNEL_PROBE=ON)"
    )

__all__ = ["probe"]
