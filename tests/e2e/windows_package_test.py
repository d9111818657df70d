#!/usr/bin/python3
# The package an office runs, as the office gets it: scripts/windows-package writes
# tav_setup-<release>-win64.zip, and independent readers take it apart. Usage:
# windows_package_test.py SOURCE_DIR WINDOWS_BUILD
#
# Groups of checks (each prints ok/FAIL; the last line is "N passed, M failed"):
#   archive    `unzip -t` passes; the archive holds tav_setup.exe, dbftool.exe and CZYTAJ.TXT and
#              nothing else, each byte for byte the build's.
#   readme     CZYTAJ.TXT is UTF-8 with a byte-order mark and CR LF line ends only, in Polish, and
#              names the command lines and the exit codes 0, 1 and 2.
#   programs   both import nothing but Windows' own DLLs; tav_setup.exe carries its icon (32 x 32),
#              a version resource naming the release and its manifest (wrestool, icotool); the
#              unpacked tav_setup.exe runs alone under wine64 (--help, exit 0).
import os, re, shutil, subprocess, sys, tempfile, zipfile

source, build = os.path.abspath(sys.argv[1]), os.path.abspath(sys.argv[2])
failures, passed = [], 0


def check(ok, what):
    global passed
    print(("ok    " if ok else "FAIL  ") + what, flush=True)
    if ok:
        passed += 1
    else:
        failures.append(what)


def run(cmd, **kw):
    """A command with its output in files (Wine's processes keep a pipe open)."""
    with tempfile.TemporaryFile() as out, tempfile.TemporaryFile() as err:
        code = subprocess.call(cmd, stdout=out, stderr=err, stdin=subprocess.DEVNULL, **kw)
        out.seek(0)
        err.seek(0)
        return code, out.read(), err.read().decode("utf-8", "replace")


release = re.search(r"^TAV_RELEASE:STRING=(.+)$", open(os.path.join(build, "CMakeCache.txt")).read(), re.M).group(1)
package = os.path.join(build, f"tav_setup-{release}-win64.zip")
if os.path.exists(package):
    os.remove(package)
code, out, err = run([os.path.join(source, "scripts", "windows-package"), build])
check(code == 0 and os.path.isfile(package), f"make windows-package writes {os.path.basename(package)} ({err[-300:]})")
if not os.path.isfile(package):
    print(f"windows_package: {passed} passed, {len(failures)} failed")
    sys.exit(1)

code, out, _ = run(["unzip", "-t", package])
check(code == 0 and b"No errors detected" in out, "unzip -t passes")
unpacked = tempfile.mkdtemp(prefix="tav-package-")
try:
    code, _, _ = run(["unzip", "-q", package, "-d", unpacked])
    names = sorted(os.listdir(unpacked))
    check(names == ["CZYTAJ.TXT", "dbftool.exe", "tav_setup.exe"], f"the package holds the two programs and CZYTAJ.TXT ({names})")
    for name, built in (("tav_setup.exe", "tav_setup.exe"), ("dbftool.exe", "tools/dbftool/dbftool.exe")):
        check(open(os.path.join(unpacked, name), "rb").read() == open(os.path.join(build, built), "rb").read(),
              f"{name} is the build's, byte for byte")

    raw = open(os.path.join(unpacked, "CZYTAJ.TXT"), "rb").read()
    check(raw.startswith(b"\xef\xbb\xbf"), "CZYTAJ.TXT opens with the UTF-8 byte-order mark")
    check(raw.count(b"\n") > 20 and raw.count(b"\n") == raw.count(b"\r\n"), "CZYTAJ.TXT has CR LF line ends only")
    text = raw[3:].decode("utf-8")
    check(all(w in text for w in ("ą", "ę", "ł", "ó", "ś", "ż", "Łódź")), "CZYTAJ.TXT is Polish, its letters intact")
    check(all(w in text for w in ("--upgrade", "--install", "--plan", "--yes", release)),
          "CZYTAJ.TXT names the command lines and the release")
    check(all(re.search(rf"^{n}\s+\S", text, re.M) for n in "012"), "CZYTAJ.TXT explains the exit codes 0, 1 and 2")

    windows_own = {"advapi32.dll", "comctl32.dll", "gdi32.dll", "kernel32.dll", "msvcrt.dll", "ole32.dll",
                   "shell32.dll", "user32.dll"}
    for name in ("tav_setup.exe", "dbftool.exe"):
        code, out, _ = run(["x86_64-w64-mingw32-objdump", "-p", os.path.join(unpacked, name)])
        dlls = {d.lower() for d in re.findall(rb"DLL Name: (\S+)", out) for d in [d.decode()]}
        check(code == 0 and dlls and dlls <= windows_own, f"{name} imports only Windows' own DLLs ({sorted(dlls)})")

    exe = os.path.join(unpacked, "tav_setup.exe")
    code, out, _ = run(["wrestool", "-l", exe])
    listing = out.decode()
    check("--type=14" in listing and "--type=16" in listing and "--type=24" in listing,
          "tav_setup.exe carries an icon, a version and a manifest (wrestool -l)")
    icon = os.path.join(unpacked, "icon.ico")
    run(["wrestool", "-x", "--type=14", "-o", icon, exe])
    code, out, _ = run(["icotool", "-l", icon])
    check(code == 0 and b"--width=32 --height=32" in out, f"icotool reads the icon: {out.decode().strip()}")
    code, out, _ = run(["wrestool", "-x", "--raw", "--type=16", exe])
    version = out.decode("utf-16-le", "replace")
    check("FileVersion" in version and "ProductVersion" in version and release in version,
          f"the version resource names the release {release}")
    nums = [int(p) for p in release.split(".")]
    fixed = out.find(b"\xbd\x04\xef\xfe")  # VS_FIXEDFILEINFO's signature
    ms = int.from_bytes(out[fixed + 8:fixed + 12], "little") if fixed >= 0 else 0
    ls = int.from_bytes(out[fixed + 12:fixed + 16], "little") if fixed >= 0 else 0
    check((ms >> 16, ms & 0xFFFF, ls >> 16) == tuple(nums), f"the file version is {nums[0]}.{nums[1]}.{nums[2]}")
    code, out, _ = run(["wrestool", "-x", "--raw", "--type=24", exe])
    check(b"Microsoft.Windows.Common-Controls" in out and b"asInvoker" in out,
          "the manifest asks for common controls 6 and no elevation")

    prefix = os.path.join(build, "wine-prefix")
    code, out, err = run([os.path.join(source, "scripts", "wine-run"), exe, "--help"], cwd=unpacked,
                         env=dict(os.environ, TAV_WINE_PREFIX=prefix))
    check(code == 0 and b"usage: tav_setup" in out, f"the unpacked tav_setup.exe runs alone under wine64 ({err[-200:]})")
finally:
    shutil.rmtree(unpacked, ignore_errors=True)

print(f"windows_package: {passed} passed, {len(failures)} failed")
sys.exit(1 if failures else 0)
