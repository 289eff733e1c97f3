import os
import tempfile

import pytest


@pytest.fixture
def open_temp_files(tmp_path, monkeypatch):
    """Returns a function counting the temporary files still open: spooled files made and not
    closed (they are kept alive here, so only an explicit close counts, not the collection of a
    dropped file) and descriptors of files in a private temporary directory."""
    monkeypatch.setattr(tempfile, "tempdir", str(tmp_path))
    made = []

    class Recorded(tempfile.SpooledTemporaryFile):
        def __init__(self, *args, **kwargs):
            super().__init__(*args, **kwargs)
            made.append(self)

    monkeypatch.setattr(tempfile, "SpooledTemporaryFile", Recorded)

    def target(fd):
        try:
            return os.readlink(f"/proc/self/fd/{fd}")
        except OSError:
            return ""

    def count():
        on_disk = sum(1 for fd in os.listdir("/proc/self/fd") if target(fd).startswith(str(tmp_path)))
        return max(on_disk, sum(1 for f in made if not f.closed))

    return count
