"""What the tests need to know about running under AddressSanitizer."""

import os

import pytest

UNDER_SANITIZER = "asan" in os.environ.get("LD_PRELOAD", "") or "ASAN_OPTIONS" in os.environ

# AddressSanitizer's red zones multiply every frame: the stack budget is
# measured on ordinary builds only.
small_stack = pytest.mark.skipif(UNDER_SANITIZER, reason="frames are larger under AddressSanitizer")
