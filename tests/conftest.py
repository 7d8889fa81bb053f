import pytest


@pytest.fixture
def write_file(tmp_path):
    """Writes text (or bytes) to a file under tmp_path and returns its path as str."""

    def write(name, content, encoding="utf-8"):
        path = tmp_path / name
        path.parent.mkdir(parents=True, exist_ok=True)
        if isinstance(content, bytes):
            path.write_bytes(content)
        else:
            path.write_text(content, encoding=encoding, newline="")
        return str(path)

    return write
