"""The package without a bridge: status texts, library lookup, installation."""

import ctypes
import os
import shutil
import struct
import subprocess
import sys
import typing

import pytest

import spweth


def record(speed, switch_state, switch_word, link_states=(5, 9)):
    data = bytearray(88)
    struct.pack_into("<I", data, 0, 4_000_000_123)
    struct.pack_into("<QQIIIIIB", data, 4, 2**40 + 5, 7, 300, 2, 5, 1000, 20, link_states[0])
    struct.pack_into("<QQIIIIIB", data, 41, 0, 99, 0, 10, 3, 0, 4_000_000_000, link_states[1])
    data[78], data[87] = speed, switch_state
    struct.pack_into("<H", data, 85, switch_word)
    return bytes(data)


@pytest.mark.parametrize("speed, switch_state, switch_word", [
    (0x80, 0x33, 0), (0x13, 0x9F, 0), (0x04, 0x33, 0x4800), (0x20, 0x00, 0x0001)])
def test_status_text_is_what_the_library_prints(speed, switch_state, switch_word):
    data = record(speed, switch_state, switch_word)
    library = spweth.library()
    printed = []
    with library.console_to(lambda stream, text: printed.append((stream, text))):
        library.print_spw_eth_state((ctypes.c_ubyte * 88).from_buffer_copy(data))
    assert {stream for stream, _ in printed} == {1}
    assert "".join(text for _, text in printed) == f"\n{spweth.Status.from_bytes(data)}\n"


def test_status_fields():
    status = spweth.Status.from_bytes(record(0x04, 0x33, 0x4800))
    assert status.time == 4_000_000_123
    assert status.spw1.tx_bytes == 2**40 + 5
    assert status.spw1.rx_packets_eop == 2**32 - 3  # 2 received, 5 with EEP: wraps as in C
    assert (status.spw1.link_state_name, status.spw2.link_state_name) == ("RUN", "UNKNOWN")
    assert (status.speed_mbit, status.switch_state) == (100, 0x48)
    with pytest.raises(ValueError):
        spweth.Status.from_bytes(bytes(87))


def python_env(**extra):
    env = {k: v for k, v in os.environ.items()
           if k not in ("SPWETH_LIBRARY", "PYTHONPATH", "PYTHONHOME")}
    env.update(extra)
    return env


def imports_from(python, env, cwd="/"):
    return subprocess.run([python, "-c", "import spweth; print(spweth.library_path())"],
                          capture_output=True, text=True, env=env, cwd=cwd)


def test_cmake_install_puts_package_where_python3_finds_its_library(build_dir, tmp_path):
    prefix = tmp_path / "prefix"
    subprocess.run(["cmake", "--install", str(build_dir), "--prefix", str(prefix)], check=True,
                   capture_output=True)
    packages = list(prefix.glob("lib/python3*/dist-packages"))
    assert len(packages) == 1
    found = imports_from(sys.executable, python_env(PYTHONPATH=str(packages[0])))
    assert found.returncode == 0, found.stderr
    assert found.stdout.strip().startswith(str(prefix / "lib"))
    # The package alone imports; the library is looked for on first use.
    only_python = tmp_path / "only-python"
    subprocess.run(["cmake", "--install", str(build_dir), "--prefix", str(only_python),
                    "--component", "python"], check=True, capture_output=True)
    package = next(only_python.glob("lib/python3*/dist-packages"))
    bare = subprocess.run([sys.executable, "-c", "import spweth; spweth.adapters()"],
                          capture_output=True, text=True,
                          env=python_env(PYTHONPATH=str(package), LD_LIBRARY_PATH="/nowhere"))
    assert "libspweth was not found; set SPWETH_LIBRARY" in bare.stderr
    # Under the prefix /usr (as packaging installs it), Debian's own folder.
    staged = tmp_path / "staged"
    subprocess.run(["cmake", "--install", str(build_dir), "--prefix", "/usr", "--component",
                    "python"], check=True, capture_output=True,
                   env=dict(os.environ, DESTDIR=str(staged)))
    assert (staged / "usr/lib/python3/dist-packages/spweth/__init__.py").exists()


def test_pip_installs_into_a_virtual_environment(tmp_path):
    source = tmp_path / "source"
    shutil.copytree(os.path.join(os.path.dirname(__file__), ".."), source,
                    ignore=shutil.ignore_patterns("tests", "__pycache__"))
    venv = tmp_path / "venv"
    subprocess.run([sys.executable, "-m", "venv", "--system-site-packages", str(venv)],
                   check=True)
    subprocess.run([str(venv / "bin" / "pip"), "install", "-q", "--no-index",
                    "--no-build-isolation", str(source)], check=True)
    library = os.environ["SPWETH_LIBRARY"]
    found = imports_from(str(venv / "bin" / "python"), python_env(SPWETH_LIBRARY=library))
    assert found.returncode == 0, found.stderr
    assert found.stdout.strip() == library


def test_public_names_are_documented_typed_and_versioned():
    shown = subprocess.run([sys.executable, "-m", "pydoc", "spweth"], capture_output=True,
                           text=True, env=os.environ).stdout
    undocumented = []
    for name in spweth.__all__:
        value = getattr(spweth, name)
        assert name in shown or name == "__version__", name  # pydoc: VERSION 3.1.0
        if typing.get_origin(value) is not None or (not isinstance(value, type)
                                                     and not callable(value)):
            continue  # type aliases (CodeKind, Event) and constants carry no docstring
        if not (value.__doc__ or "").strip():
            undocumented.append(name)
        for member, item in vars(value).items() if isinstance(value, type) else ():
            if not member.startswith("_") and callable(getattr(item, "fget", item)) and not (
                    getattr(item, "__doc__", "") or "").strip():
                undocumented.append(f"{name}.{member}")
    for cls in (spweth.aio.AsyncSocket, spweth.aio.AsyncRmapTarget):
        undocumented += [f"{cls.__name__}.{m}" for m, item in vars(cls).items()
                         if not m.startswith("_") and callable(item) and not item.__doc__]
    assert undocumented == []
    assert os.path.exists(os.path.join(os.path.dirname(spweth.__file__), "py.typed"))
    # The library file is libspweth.so.MAJOR.MINOR.PATCH: the package's version.
    assert os.path.realpath(os.environ["SPWETH_LIBRARY"]).endswith(".so." + spweth.__version__)
