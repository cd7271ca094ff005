"""The wheel: its files, platform tag and record of the libraries linked in,
installing it with pip into a fresh environment (its uv comes from the
package index), the installed tool's main job against the sandbox cloud, and
that it needs no more than a base system (ldd here; a minimal Debian root
made by debootstrap when one can be had, where it also finds the system's
certificates at another distribution's path)."""
from __future__ import annotations

import base64
import csv
import email.parser
import hashlib
import io
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time
import unittest
import zipfile
from pathlib import Path

from harness import (BUILD_DIR, CMAKE, SOURCE_DIR, VERSION, UserEnv, copy_env, run, sanitized_build,
                     shared_env_with_pip)
from package_index.index import PackageIndex
from sandbox_cloud import Sandbox
from test_modules import SAMPLE_APP, TRACER

WHEEL_DIR = BUILD_DIR / "wheel"
# What a base system has: the C library's parts, the GCC runtime, the C++ library.
BASE = {"linux-vdso.so.1", "ld-linux-x86-64.so.2", "libc.so.6", "libm.so.6", "libdl.so.2",
        "librt.so.1", "libpthread.so.0", "libresolv.so.2", "libutil.so.1", "libanl.so.1",
        "libgcc_s.so.1", "libstdc++.so.6"}
TAG = re.compile(r"py3-none-manylinux_(\d+)_(\d+)_x86_64")
EXAMPLE_FILES = {"README.md": "sample\n", "src/app.py": "print(1)\n"}
# A minimal Debian root with python3-venv (a user needs a Python to have an
# environment), made once and kept for later runs.
MINBASE_ROOT = Path(os.environ.get("KEELBOX_MINBASE_ROOT", "/var/tmp/keelbox-minbase/bookworm-python3"))
MINBASE_MIRROR = os.environ.get("KEELBOX_MINBASE_MIRROR", "http://deb.debian.org/debian")
MINBASE_SECONDS = 480


def the_wheel() -> Path:
    """This build's wheel, brought up to date first."""
    subprocess.run([CMAKE, "--build", str(BUILD_DIR), "--target", "wheel"], check=True,
                   stdout=subprocess.DEVNULL)
    wheels = sorted(WHEEL_DIR.glob("keelbox-*.whl"))
    assert len(wheels) == 1, wheels
    return wheels[0]


def record_hash(data: bytes) -> str:
    return "sha256=" + base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b"=").decode()


def glibc_versions_used(path: Path) -> set[tuple[int, int]]:
    """The GLIBC_x.y versions of the dynamic symbols of `path`, read by objdump."""
    out = subprocess.run(["objdump", "-T", str(path)], check=True, capture_output=True,
                         text=True).stdout
    return {(int(a), int(b)) for a, b in re.findall(r"\bGLIBC_(\d+)\.(\d+)", out)}


def dynamic_entries(path: Path) -> str:
    return subprocess.run(["readelf", "-d", str(path)], check=True, capture_output=True,
                          text=True).stdout


def foreign_libraries(ldd_output: str) -> list[str]:
    """The lines of `ldd` output naming a library not in the base set."""
    bad = []
    for line in ldd_output.splitlines():
        line = line.strip()
        if not line or line.startswith("statically linked"):
            continue
        if "not found" in line or os.path.basename(line.split()[0]) not in BASE:
            bad.append(line)
    return bad


def debian_source(binary_package: str) -> tuple[str, str]:
    """The source package and version of an installed Debian package."""
    out = subprocess.run(["dpkg-query", "-W", "-f=${source:Package} ${source:Version}", binary_package],
                         check=True, capture_output=True, text=True).stdout
    name, version = out.split()
    return name, version


def setUpModule() -> None:
    if sanitized_build():
        raise unittest.SkipTest("the wheel is made from builds without sanitizers")


class WheelContentTest(unittest.TestCase):

    @classmethod
    def setUpClass(cls) -> None:
        cls.wheel = the_wheel()
        cls.zip = zipfile.ZipFile(cls.wheel)
        cls.addClassCleanup(cls.zip.close)
        cls.data = f"keelbox-{VERSION}.data"
        cls.info = f"keelbox-{VERSION}.dist-info"

    def read(self, name: str) -> bytes:
        return self.zip.read(name)

    def headers(self, name: str):
        return email.parser.Parser().parsestr(self.read(name).decode())

    def test_record_lists_every_file_with_its_hash_and_size(self):
        rows = list(csv.reader(io.StringIO(self.read(f"{self.info}/RECORD").decode())))
        recorded = {row[0]: row for row in rows}
        self.assertEqual(len(recorded), len(rows), "a file is listed twice")
        self.assertEqual(set(recorded), set(self.zip.namelist()))
        for name, (_, digest, size) in recorded.items():
            with self.subTest(name=name):
                if name == f"{self.info}/RECORD":
                    self.assertEqual((digest, size), ("", ""))
                    continue
                data = self.read(name)
                self.assertEqual(digest, record_hash(data))
                self.assertEqual(size, str(len(data)))

    def test_name_wheel_and_metadata(self):
        m = re.fullmatch(rf"keelbox-{re.escape(VERSION)}-(.+)\.whl", self.wheel.name)
        self.assertIsNotNone(m, self.wheel.name)
        self.assertRegex(m.group(1), TAG)
        wheel = self.headers(f"{self.info}/WHEEL")
        self.assertEqual(wheel["Wheel-Version"], "1.0")
        self.assertEqual(wheel["Root-Is-Purelib"], "false")
        self.assertEqual(wheel.get_all("Tag"), [m.group(1)])
        self.assertTrue(wheel["Generator"])
        meta = self.headers(f"{self.info}/METADATA")
        self.assertGreaterEqual(tuple(map(int, meta["Metadata-Version"].split("."))), (2, 1))
        self.assertEqual((meta["Name"], meta["Version"]), ("keelbox", VERSION))
        self.assertTrue(meta["Summary"])
        self.assertEqual(meta.get_all("Requires-Dist"), ["uv"])
        # The executable and the manual page where an installer puts them into
        # the environment; nothing outside the .data and .dist-info folders.
        names = self.zip.namelist()
        self.assertIn(f"{self.data}/scripts/keelbox", names)
        self.assertIn(f"{self.data}/data/share/man/man1/keelbox.1", names)
        self.assertEqual([n for n in names if not n.startswith((self.data + "/", self.info + "/"))], [])
        mode = self.zip.getinfo(f"{self.data}/scripts/keelbox").external_attr >> 16
        self.assertTrue(mode & 0o111, oct(mode))

    def test_no_library_is_bundled_and_the_tag_is_the_highest_glibc_version(self):
        self.assertEqual([n for n in self.zip.namelist() if ".so" in n], [])
        with tempfile.TemporaryDirectory() as tmp:
            self.zip.extractall(tmp)
            exe = Path(tmp, self.data, "scripts", "keelbox")
            dynamic = dynamic_entries(exe)
            self.assertNotRegex(dynamic, r"RUNPATH|RPATH")
            needed = set(re.findall(r"\(NEEDED\)\s+Shared library: \[(.*)\]", dynamic))
            self.assertLessEqual(needed, BASE)
            self.assertIn("libc.so.6", needed)
            used = glibc_versions_used(exe)
        tag = TAG.search(self.wheel.name)
        self.assertEqual((int(tag.group(1)), int(tag.group(2))), max(used))

    @unittest.skipUnless(shutil.which("dpkg-query"), "needs Debian's package database")
    def test_dependencies_name_the_debian_source_of_every_library_linked_in(self):
        lines = [line for line in self.read(f"{self.info}/DEPENDENCIES").decode().splitlines()
                 if line and not line.startswith("#")]
        recorded = {line.split()[0]: line.split()[1] for line in lines}
        # The sources built are those of these packages' versions; OpenSSL,
        # zlib and libdeflate are linked as the -dev packages ship them.
        expected = dict(debian_source(p) for p in ("libcurl4-openssl-dev", "libarchive-dev",
                                                   "libsqlite3-dev", "libssl-dev", "zlib1g-dev",
                                                   "libdeflate-dev"))
        self.assertEqual(recorded, expected)
        licenses = {n.rsplit("/", 1)[1] for n in self.zip.namelist() if n.startswith(f"{self.info}/licenses/")}
        self.assertEqual(licenses, {f"{name}.copyright" for name in expected})


@unittest.skipUnless(shutil.which("cc"), "needs a C compiler")
class RefusedExecutableTest(unittest.TestCase):
    """An executable that needs a shared library beyond the base set makes no wheel."""

    def test_a_library_beyond_the_base_set_is_refused_by_name(self):
        with tempfile.TemporaryDirectory() as tmp:
            tmp = Path(tmp)
            program = "#include <zlib.h>\nint main(void) { return zlibVersion()[0] == 0; }\n"
            subprocess.run(["cc", "-x", "c", "-", "-o", str(tmp / "prog"), "-lz"],
                           input=program, text=True, check=True)
            r = subprocess.run([sys.executable, str(SOURCE_DIR / "tools" / "build_wheel.py"),
                                "--exe", str(tmp / "prog"), "--version", "0.0.1",
                                "--out-dir", str(tmp / "out")], capture_output=True, text=True)
            self.assertEqual(r.returncode, 1, r)
            self.assertIn("libz.so.1", r.stderr)
            self.assertEqual(list((tmp / "out").glob("*.whl")), [])


class WheelInstallTest(unittest.TestCase):
    """pip installs the wheel into a fresh environment; uv comes from the index."""

    @classmethod
    def setUpClass(cls) -> None:
        wheel = the_wheel()
        cls.root = Path(tempfile.mkdtemp(prefix="keelbox-wheel-"))
        cls.addClassCleanup(shutil.rmtree, cls.root, True)
        cls.index = PackageIndex()
        cls.index.start()
        cls.addClassCleanup(cls.index.stop)
        cls.venv = copy_env(shared_env_with_pip(), cls.root / "env")
        subprocess.run([str(cls.venv / "bin" / "python"), "-m", "pip", "--isolated",
                        "--disable-pip-version-check", "install", "--quiet",
                        "--index-url", cls.index.url, str(wheel)], check=True)
        cls.exe = cls.venv / "bin" / "keelbox"
        cls.target = copy_env(shared_env_with_pip(), cls.root / "target")

    def setUp(self) -> None:
        self.user = UserEnv(Path(tempfile.mkdtemp(prefix="keelbox-user-")))
        self.addCleanup(shutil.rmtree, self.user.root, True)
        self.cloud = Sandbox({"entitlements": [SAMPLE_APP, TRACER],
                              "packages": [{"key": "zvk-sample-app"}, {"key": "zvk-sample-utils"},
                                           {"key": "zvk-tracer"}, {"key": "zvk-sample-app-examples"}],
                              "pip_location": self.index.url})
        self.cloud.start()
        self.addCleanup(self.cloud.stop)
        self.cloud.add_example("zvk_sample_app", EXAMPLE_FILES)

    def keelbox(self, *args):
        r = run(self.exe, list(args), self.user,
                env={**self.cloud.env, "VIRTUAL_ENV": str(self.target)})
        self.assertEqual(r.returncode, 0, r)
        return r

    def test_layout_and_only_base_libraries_from_the_system(self):
        self.assertTrue(os.access(self.venv / "bin" / "uv", os.X_OK))
        self.assertEqual((self.venv / "bin" / "uv").read_text().splitlines()[0],
                         f"#!{self.venv / 'bin' / 'python'}")
        self.assertTrue((self.venv / "share" / "man" / "man1" / "keelbox.1").is_file())
        ldd = subprocess.run(["ldd", str(self.exe)], check=True, capture_output=True, text=True).stdout
        self.assertEqual(foreign_libraries(ldd), [], ldd)

    def test_main_job_against_the_sandbox_cloud(self):
        r = self.keelbox("--version")
        self.assertTrue(r.stdout.endswith(f"keelbox, version {VERSION}\n"), r)
        self.keelbox("init", "--token-id", "id-1", "--token", "secret-1")
        self.assertIn("zvk-sample-app", self.keelbox("modules").stdout)
        self.keelbox("install", "zvk-sample-app", "--yes")
        listed = subprocess.run([str(self.target / "bin" / "python"), "-m", "pip", "list",
                                 "--disable-pip-version-check"],
                                check=True, capture_output=True, text=True).stdout
        self.assertRegex(listed, r"zvk-sample-app\s+1\.4\.0")
        self.assertRegex(listed, r"zvk-sample-utils\s+0\.2\.0")
        dest = self.user.root / "dl"
        dest.mkdir()
        self.keelbox("download-examples", "--download-dir", str(dest))
        for name, text in EXAMPLE_FILES.items():
            self.assertEqual((dest / "zvk-sample-app-examples" / name).read_text(), text)


def minimal_root() -> Path:
    """The cached minimal root, made now when missing; skips the test when it cannot be had."""
    if (MINBASE_ROOT / "usr" / "bin" / "python3").exists():
        return MINBASE_ROOT
    if os.geteuid() != 0:
        raise unittest.SkipTest("making and entering a minimal root needs root")
    if not shutil.which("debootstrap"):
        raise unittest.SkipTest("debootstrap is not installed (scripts/install-deps.sh installs it)")
    partial = MINBASE_ROOT.with_name(MINBASE_ROOT.name + ".part")
    shutil.rmtree(partial, ignore_errors=True)
    partial.parent.mkdir(parents=True, exist_ok=True)
    print(f"\nmaking a minimal Debian root in {MINBASE_ROOT} (once)", flush=True)
    started = time.monotonic()
    try:
        proc = subprocess.run(["debootstrap", "--variant=minbase", "--include=python3-venv",
                               "bookworm", str(partial), MINBASE_MIRROR],
                              capture_output=True, text=True, timeout=MINBASE_SECONDS)
    except subprocess.TimeoutExpired:
        shutil.rmtree(partial, ignore_errors=True)
        raise unittest.SkipTest(f"debootstrap took longer than {MINBASE_SECONDS} s")
    if proc.returncode != 0:
        shutil.rmtree(partial, ignore_errors=True)
        tail = (proc.stderr or proc.stdout).strip().splitlines()[-1:]
        raise unittest.SkipTest(f"debootstrap failed (mirror {MINBASE_MIRROR} unreachable?): {tail}")
    partial.rename(MINBASE_ROOT)
    print(f"minimal root made in {time.monotonic() - started:.0f} s", flush=True)
    return MINBASE_ROOT


@unittest.skipUnless(shutil.which("unshare") and shutil.which("chroot") and shutil.which("mount"),
                     "needs unshare, mount and chroot")
class MinimalRootTest(unittest.TestCase):
    """Installs the wheel with pip inside a minimal Debian root (base system and
    python3-venv only) and runs the tool there: it needs only the base
    system's libraries, and with no variable naming certificates it trusts
    the system's bundle where another distribution keeps it."""

    def test_install_and_run_in_a_minimal_root(self):
        wheel = the_wheel()
        root = minimal_root()
        work = Path(tempfile.mkdtemp(prefix="keelbox-wheel-", dir=root / "tmp"))
        self.addCleanup(shutil.rmtree, work, True)
        inside = "/" + str(work.relative_to(root))
        shutil.copy(wheel, work / wheel.name)
        with PackageIndex() as index, Sandbox({"entitlements": [SAMPLE_APP]}) as cloud:
            cloud.add_example("zvk_sample_app", EXAMPLE_FILES)
            shutil.copy(cloud.ca_file, work / "ca.pem")
            env = {"PATH": "/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin", "HOME": f"{inside}/home",
                   "LC_ALL": "C.UTF-8", "PIP_DISABLE_PIP_VERSION_CHECK": "1",
                   "PIP_NO_CACHE_DIR": "1", "PIP_ROOT_USER_ACTION": "ignore",
                   **cloud.env, "SSL_CERT_FILE": f"{inside}/ca.pem"}

            mount = shutil.which("mount")

            def chroot(*argv: str, setup: str = "", environ: dict | None = None,
                       expect: int = 0) -> subprocess.CompletedProcess:
                # A private mount namespace gives the root its own /proc (and
                # what `setup` mounts), gone with the process.
                script = (f'{mount} -t proc proc "$0/proc" && {setup or "true"} && '
                          f'exec {shutil.which("chroot")} "$0" "$@"')
                proc = subprocess.run([shutil.which("unshare"), "--mount", "--propagation", "private",
                                       "/bin/sh", "-c", script, str(root), *argv],
                                      capture_output=True, text=True, env=environ or env, timeout=300)
                self.assertEqual(proc.returncode, expect, f"{argv}: {proc.stdout}{proc.stderr}")
                return proc

            chroot("python3", "-m", "venv", f"{inside}/env")
            chroot(f"{inside}/env/bin/python", "-m", "pip", "install", "--quiet",
                   "--index-url", index.url, f"{inside}/{wheel.name}")
            exe = f"{inside}/env/bin/keelbox"
            ldd = chroot("ldd", exe).stdout
            self.assertEqual(foreign_libraries(ldd), [], ldd)
            self.assertTrue(chroot(exe, "--version").stdout.endswith(f"keelbox, version {VERSION}\n"))
            chroot(exe, "init", "--token-id", "id-1", "--token", "secret-1")
            chroot(exe, "download-examples", "--download-dir", inside)
            self.assertEqual((work / "zvk-sample-app-examples" / "README.md").read_text(), "sample\n")

            # No variable names certificates, and Debian's folders are hidden
            # under empty ones: the cloud's authority is trusted from where
            # Fedora keeps the system's bundle, and without a bundle the error
            # names every place looked at.
            plain = {k: v for k, v in env.items()
                     if k not in ("SSL_CERT_FILE", "REQUESTS_CA_BUNDLE", "CURL_CA_BUNDLE", "SSL_CERT_DIR")}
            (root / "etc" / "pki").mkdir(exist_ok=True)  # a mount point
            hide = f'{mount} -t tmpfs tmpfs "$0/etc/ssl" && {mount} -t tmpfs tmpfs "$0/etc/pki"'
            fedora = (f'{hide} && mkdir -p "$0/etc/pki/tls/certs" && '
                      f'cp "$0{inside}/ca.pem" "$0/etc/pki/tls/certs/ca-bundle.crt"')
            # (An empty cache each time, so that the run signs in again.)
            failed = chroot(exe, "modules", setup=hide, expect=1,
                            environ={**plain, "XDG_CACHE_HOME": f"{inside}/cache-without-bundle"})
            self.assertIn("/etc/ssl/certs/ca-certificates.crt, /etc/pki/tls/certs/ca-bundle.crt, "
                          "/etc/ssl/ca-bundle.pem, /etc/pki/tls/cacert.pem, "
                          "/etc/pki/ca-trust/extracted/pem/tls-ca-bundle.pem, /etc/ssl/cert.pem: none found",
                          failed.stderr)
            listed = chroot(exe, "modules", setup=fedora,
                            environ={**plain, "XDG_CACHE_HOME": f"{inside}/cache-fedora"}).stdout
            self.assertIn("zvk-sample-app", listed)


if __name__ == "__main__":
    unittest.main()
