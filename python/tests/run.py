"""Runs the zasfile tests with pytest, as CTest does; without pytest they are
skipped (exit status 77). Arguments go to pytest."""
import os
import sys

try:
    import pytest
except ImportError:
    print("pytest is not installed (Debian: python3-pytest): the zasfile tests are skipped")
    sys.exit(77)

sys.exit(pytest.main(["-q", "-p", "no:cacheprovider", os.path.dirname(os.path.abspath(__file__))] + sys.argv[1:]))
