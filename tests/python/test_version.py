"""One version, written once: the package's and the installed distribution's agree."""

import re
from importlib import metadata

import tarnel


def test_version_is_the_distributions():
    assert re.fullmatch(r"\d+\.\d+\.\d+(?:(?:a|b|rc)\d+)?(?:\.post\d+)?(?:\.dev\d+)?",
                        tarnel.__version__)
    assert metadata.version("tarnel") == tarnel.__version__
