#!/usr/bin/env python3
"""Regenerates the request/answer examples of docs/protocol.md from runs of the
built helper.

Every example is a real run: the native helper (build/disk-helper) on fixtures
made here with the real tools (xz, zstd, sfdisk, mkfs.vfat, mtools), plain files
only, with a file standing in for the target disk. Commands that ask Windows
disk management get their PowerShell answers from the stand-in PowerShell of
the build (tests/fake_powershell), which records the script and prints what
it is told to. apply_customization needs a drive letter, which only Windows
has, so its example runs the Windows build under Wine (build-win), with a
drive letter of a private Wine prefix leading to a folder (and a file standing in
for its volume).

The examples replace the text between <!-- example NAME --> and
<!-- /example --> in the document; every marker must have an example here and
every example a marker.

    scripts/protocol-examples.py [--build build] [--windows-build build-win]
"""

import argparse
import json
import os
import re
import resource
import shutil
import signal
import subprocess
import sys
import tempfile
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
DOC = ROOT / "docs" / "protocol.md"
SESSION = "session-1"
# Fixed dates and ids, so that the file systems, the images and their digests
# come out the same on every run.
EPOCH = "1704067200"  # 2024-01-01 00:00:00 UTC


def sh(*args, **kwargs):
    subprocess.run(args, check=True, **kwargs)


def make_fixtures(work: Path) -> dict:
    """A small Raspberry-Pi-like image (MBR, FAT32 boot partition with the boot
    files, Linux root partition), its XZ compression, a target file, and the
    odd files the error examples need. Returns facts about them."""
    env = dict(os.environ, MTOOLS_SKIP_CHECK="1", SOURCE_DATE_EPOCH=EPOCH, LC_ALL="C",
               PATH="/usr/sbin:/sbin:" + os.environ.get("PATH", ""))
    files = work / "files"
    files.mkdir()
    (files / "config.txt").write_text("arm_64bit=1\n")
    (files / "cmdline.txt").write_text("console=serial0,115200 root=PARTUUID=feedf00d-02 rootwait\n")
    for name, size in (("start4.elf", 300000), ("fixup4.dat", 5000), ("kernel8.img", 900000)):
        (files / name).write_bytes(bytes((i * 7 + len(name)) % 251 for i in range(size)))
    for f in files.iterdir():
        os.utime(f, (int(EPOCH), int(EPOCH)))

    boot = work / "boot.fat"
    boot_start, boot_sectors = 8192, 69632  # 34 MiB: enough clusters for FAT32
    sh("truncate", "-s", str(boot_sectors * 512), str(boot), env=env)
    sh("mkfs.vfat", "-F", "32", "-s", "1", "-n", "BOOTFS", "--invariant", str(boot), env=env,
       stdout=subprocess.DEVNULL)
    sh("mcopy", "-m", "-i", str(boot), *sorted(str(f) for f in files.iterdir()), "::/", env=env)
    sh("mmd", "-i", str(boot), "::/overlays", env=env)

    image = work / "raspios.img"
    root_start = boot_start + boot_sectors
    total_sectors = root_start + 8192
    sh("truncate", "-s", str(total_sectors * 512), str(image), env=env)
    table = (f"label: dos\nlabel-id: 0xfeedf00d\nstart={boot_start}, size={boot_sectors}, type=c\n"
             f"start={root_start}, type=83\n")
    sh("sfdisk", "-q", str(image), input=table.encode(), env=env)
    sh("dd", f"if={boot}", f"of={image}", "bs=512", f"seek={boot_start}", "conv=notrunc", "status=none", env=env)
    with open(work / "raspios.img.xz", "wb") as out:
        sh("xz", "-T1", "-c", str(image), stdout=out, env=env)
    with open(work / "raspios.img.zst", "wb") as out:
        sh("zstd", "-q", "-c", str(image), stdout=out, env=env)
    boot.unlink()

    size = image.stat().st_size
    with open(work / "target.img", "wb") as target:
        target.truncate(size)
    # What probe_capacity overwrites: a card of its own.
    with open(work / "card.img", "wb") as card:
        card.truncate(64 << 20)
    # A plain file is no XZ stream; a folder cannot be read as an image.
    (work / "notes.txt").write_text("not an image\n")
    (work / "folder").mkdir()
    return {"image_bytes": size, "boot_start": boot_start}


class FakePowerShell:
    """The control folder of tests/fake_powershell: call k prints k.stdout and
    k.stderr and exits with k.exit."""

    def __init__(self, folder: Path):
        self.folder = folder

    def arrange(self, answers):
        if self.folder.exists():
            shutil.rmtree(self.folder)
        self.folder.mkdir(parents=True)
        for call, (out, err, code) in enumerate(answers):
            (self.folder / f"{call}.stdout").write_text(out)
            (self.folder / f"{call}.stderr").write_text(err)
            (self.folder / f"{call}.exit").write_text(str(code))

    def scripts(self):
        calls = int((self.folder / "calls").read_text() or "0") if (self.folder / "calls").exists() else 0
        return [(self.folder / f"{k}.script").read_text() for k in range(calls)]


def shell_quote(text: str) -> str:
    return "'" + text.replace("'", "'\\''") + "'"


class Runner:
    def __init__(self, helper: Path, work: Path, fake_bin: Path):
        self.helper = helper
        self.work = work
        self.fake = FakePowerShell(work / "powershell")
        self.env = dict(os.environ, PATH=f"{fake_bin}:{os.environ.get('PATH', '')}",
                        FAKE_POWERSHELL_DIR=str(self.fake.folder))
        self.no_powershell_env = dict(os.environ, PATH=str(work / "folder"))
        self.next_id = 1

    def run(self, command, payload, powershell=None, env=None, note=None, file_size_limit=None):
        """Runs one request in the work folder; returns the example text and
        the parsed answer line."""
        request = {"id": str(self.next_id), "sessionId": SESSION, "command": command, "payload": payload}
        self.next_id += 1
        if powershell is not None:
            self.fake.arrange(powershell)
        text = json.dumps(request, separators=(",", ":"), ensure_ascii=False)
        def limit():
            # A file that takes no more bytes, as a card that has stopped
            # taking writes: past the limit a write fails with EFBIG
            # (SIGXFSZ ignored, so the failure comes back as an error).
            if file_size_limit is not None:
                signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
                resource.setrlimit(resource.RLIMIT_FSIZE, (file_size_limit, file_size_limit))

        result = subprocess.run([str(self.helper), "--request", text], cwd=self.work, capture_output=True,
                                env=env or self.env, check=False, preexec_fn=limit)
        if result.returncode != 0:
            raise SystemExit(f"{command}: the helper exited with {result.returncode}: {result.stderr!r}")
        answer = result.stdout.decode()
        last = json.loads(answer.splitlines()[-1])
        if last["id"] != request["id"]:
            raise SystemExit(f"{command}: answer for another request: {answer}")
        scripts = self.fake.scripts() if powershell is not None else []
        return render(text, answer, powershell, scripts, note), last


def render(request_text, answer, powershell, scripts, note):
    lines = []
    if note:
        lines.append(note)
        lines.append("")
    if powershell:
        shown = []
        for k, (out, err, code) in enumerate(powershell):
            if k >= len(scripts):
                break
            said = f"printed `{out.strip()}`" if out.strip() else "printed nothing"
            if err.strip():
                said += f" and wrote `{err.strip()}` to standard error"
            shown.append(f"{said}, exit status {code}")
        if shown:
            lines.append("PowerShell (the stand-in) " + "; then ".join(shown) + ".")
            lines.append("")
    lines.append("```text")
    lines.append(f"$ disk-helper --request {shell_quote(request_text)}")
    lines.extend(answer.rstrip("\n").split("\n"))
    lines.append("```")
    return "\n".join(lines)


def native_examples(run: Runner, facts: dict) -> dict:
    size = facts["image_bytes"]
    drive = "\\\\.\\PhysicalDrive2"
    ok = [("", "", 0)]
    ex = {}

    ex["health"], _ = run.run("health", {}, powershell=[("True\r\n", "", 0)])
    guard = json.dumps([{"Number": 0, "IsSystem": True, "IsBoot": True},
                        {"Number": 2, "IsSystem": False, "IsBoot": False}], separators=(",", ":"))
    get_disk = json.dumps([
        {"Number": 0, "FriendlyName": "Samsung SSD 980 PRO 1TB", "SerialNumber": "S5GXNF0R123456",
         "Size": 1000204886016, "IsReadOnly": False, "BusType": "NVMe", "IsSystem": True, "IsBoot": True},
        {"Number": 2, "FriendlyName": "Generic STORAGE DEVICE", "SerialNumber": "000000000272",
         "Size": 31914983424, "IsReadOnly": False, "BusType": "USB", "IsSystem": False, "IsBoot": False},
    ], separators=(",", ":"))
    ex["list_disks"], _ = run.run(
        "list_disks", {}, powershell=[(guard, "", 0), (get_disk, "", 0)],
        note="No physical drive answers here (the run is on Linux), so the listing comes from `Get-Disk`; "
             "on Windows with administrator rights it comes from the drives themselves and carries "
             "`targetType`.")
    ex["image_validate_xz"], _ = run.run("image_validate_xz", {"imagePath": "raspios.img.xz"})
    ex["image_uncompressed_size"], _ = run.run("image_uncompressed_size", {"imagePath": "raspios.img.xz"})
    ex["image_extract_xz"], extracted = run.run("image_extract_xz",
                                                {"imagePath": "raspios.img.xz", "outputPath": "raspios.img"})
    ex["image_info"], _ = run.run("image_info", {"imagePath": "raspios.img.zst"})
    sha = extracted["payload"]["sha256"]
    ex["prepare_disk"], _ = run.run("prepare_disk", {"osDevicePath": drive}, powershell=ok)
    ex["detach_target"], _ = run.run("detach_target", {"osDevicePath": drive}, powershell=ok)
    ex["probe_capacity"], _ = run.run("probe_capacity", {"osDevicePath": "card.img", "taskId": "task-1"},
                                      note="`card.img` is a 64 MiB file; a file holds every byte of its size, so "
                                           "nothing fails.")
    ex["write_image"], written = run.run(
        "write_image", {"imagePath": "raspios.img", "osDevicePath": "target.img", "taskId": "task-1",
                        "bytesTotal": size})
    observed = written["payload"]["observedSha256"]
    ex["verify_hash"], _ = run.run("verify_hash", {"osDevicePath": "target.img", "bytesTotal": size})

    # What Windows does when it mounts a fresh card: it rewrites the FSInfo
    # sector's free-cluster count.
    mounted = run.work / "mounted.img"
    shutil.copyfile(run.work / "target.img", mounted)
    with open(mounted, "r+b") as f:
        f.seek((facts["boot_start"] + 1) * 512 + 488)
        f.write(b"\x00\x10\x00\x00")
    ex["classify_mismatch"], _ = run.run(
        "classify_mismatch", {"imagePath": "raspios.img", "osDevicePath": "mounted.img", "bytesTotal": size},
        note="`mounted.img` is the written target after its FSInfo sector's free-cluster count changed, as "
             "Windows does when it mounts the fresh boot partition.")
    ex["verify_boot"], _ = run.run(
        "verify_boot", {"osDevicePath": "target.img", "expectedSha256": sha, "observedSha256": observed,
                        "verifiedBytes": size, "imageBytes": size, "targetLabel": "Generic STORAGE DEVICE",
                        "targetOrdinal": 1, "model": "Generic STORAGE DEVICE"},
        note="The example image's root partition is 4 MiB, hence the warning.")
    ex["read_sectors"], _ = run.run("read_sectors", {"osDevicePath": "target.img", "startLba": 0, "sectorCount": 1})
    ex["finalize_disk"], _ = run.run("finalize_disk", {"osDevicePath": drive}, powershell=ok)
    ex["cancel_task"], _ = run.run("cancel_task", {"taskId": "task-1"})

    ex["error-UNKNOWN"], _ = run.run("image_validate_xz", {"path": "raspios.img.xz"})
    ex["error-TOOL_MISSING"], _ = run.run("health", {}, env=run.no_powershell_env,
                                          note="No PowerShell can be found.")
    ex["error-IMAGE_MISSING"], _ = run.run("image_validate_xz", {"imagePath": "missing.img.xz"})
    ex["error-XZ_INVALID"], _ = run.run("image_validate_xz", {"imagePath": "notes.txt"})
    ex["error-READ_FAILED"], _ = run.run("read_sectors",
                                         {"osDevicePath": "notes.txt", "startLba": 0, "sectorCount": 1},
                                         note="`notes.txt` is shorter than one sector.")
    with open(run.work / "small.img", "wb"):
        pass
    ex["error-WRITE_FAILED"], _ = run.run(
        "write_image", {"imagePath": "raspios.img", "osDevicePath": "small.img", "taskId": "task-1"},
        file_size_limit=1 << 20,
        note="`small.img` takes no more than 1 MiB (a file size limit set for the run), as a card that stops "
             "taking writes.")
    ex["error-DEVICE_DISCONNECTED"], _ = run.run("verify_hash", {"osDevicePath": "gone.img", "bytesTotal": 512},
                                                 note="`gone.img` does not exist, as a target that was unplugged.")
    return ex


def wine_examples(windows_build: Path, work: Path, request_id: int) -> dict:
    """apply_customization through the Windows build under Wine: the stand-in
    PowerShell planted where the helper looks for the system's own, and a
    drive letter of a private Wine prefix leading to a folder that plays the
    boot partition."""
    exe = windows_build / "disk-helper.exe"
    fake = windows_build / "fake_powershell_bin" / "powershell.exe"
    prefix = windows_build / "protocol-examples-wineprefix"
    env = dict(os.environ, WINEPREFIX=str(prefix))
    wine_run = ROOT / "scripts" / "wine-run"
    sh(str(wine_run), "cmd", "/c", "exit", env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    system_ps = prefix / "drive_c" / "windows" / "system32" / "WindowsPowerShell" / "v1.0" / "powershell.exe"
    system_ps.parent.mkdir(parents=True, exist_ok=True)
    shutil.copyfile(fake, system_ps)

    boot = work / "wine-boot"
    boot.mkdir()
    (boot / "cmdline.txt").write_text("console=serial0,115200 root=PARTUUID=feedf00d-02 rootwait\r\n")
    letter = "Q"
    link = prefix / "dosdevices" / f"{letter.lower()}:"
    # "\\.\Q:", the volume the helper flushes after writing, opens what
    # the "q::" link names: an empty file stands in for the device.
    device_link = prefix / "dosdevices" / f"{letter.lower()}::"
    volume = work / "wine-volume"
    volume.write_bytes(b"")
    for each in (link, device_link):
        if each.is_symlink() or each.exists():
            each.unlink()
    link.symlink_to(boot)
    device_link.symlink_to(volume)
    control = work / "wine-powershell"
    fake_control = FakePowerShell(control)
    fake_control.arrange([(f"{letter}\r\n", "", 0)])
    env["FAKE_POWERSHELL_DIR"] = "Z:" + str(control).replace("/", "\\")
    request = {"id": str(request_id), "sessionId": SESSION, "command": "apply_customization", "payload": {
        "osDevicePath": "\\\\.\\PhysicalDrive2",
        "files": [{"path": "firstrun.sh", "contents": "#!/bin/bash\nset -e\nraspi-config nonint do_hostname pi\n"},
                  {"path": "ssh", "contents": ""}],
        "cmdlineAppend": "systemd.run=/boot/firstrun.sh systemd.run_success_action=reboot "
                         "systemd.unit=kernel-command-line.target"}}
    text = json.dumps(request, separators=(",", ":"), ensure_ascii=False)
    try:
        result = subprocess.run([str(wine_run), str(exe), "--request", text], capture_output=True, env=env,
                                check=False)
    finally:
        link.unlink()
        device_link.unlink()
    answer = result.stdout.decode().replace("\r\n", "\n")
    last = json.loads(answer.splitlines()[-1])
    if not last.get("ok"):
        raise SystemExit(f"apply_customization under Wine failed: {answer}")
    if not (boot / "firstrun.sh").is_file() or not (boot / "ssh").is_file():
        raise SystemExit(f"apply_customization under Wine answered {answer} but wrote no files")
    cmdline = (boot / "cmdline.txt").read_text()
    note = ("Run with the Windows build (under Wine): the stand-in PowerShell printed the drive letter "
            f"`{letter}`, whose folder held a `cmdline.txt` of `console=serial0,115200 "
            "root=PARTUUID=feedf00d-02 rootwait`. Afterwards `cmdline.txt` reads "
            f"`{cmdline.rstrip(chr(10))}` followed by one line feed.")
    return {"apply_customization": render(text, answer, None, [], note)}


def replace_examples(doc: str, examples: dict, kept: set) -> str:
    pattern = re.compile(r"<!-- example (\S+) -->\n.*?<!-- /example -->", re.S)
    found = set()

    def fill(match):
        name = match.group(1)
        found.add(name)
        if name in kept:
            return match.group(0)
        if name not in examples:
            raise SystemExit(f"{DOC}: no example is made for the marker '{name}'")
        return f"<!-- example {name} -->\n{examples[name]}\n<!-- /example -->"

    out = pattern.sub(fill, doc)
    unused = set(examples) - found
    if unused:
        raise SystemExit(f"{DOC}: no marker for the examples {sorted(unused)}")
    return out


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--build", default=str(ROOT / "build"), help="native build folder")
    parser.add_argument("--windows-build", default=str(ROOT / "build-win"),
                        help="Windows build folder; without a built disk-helper.exe the apply_customization "
                             "example is left as it is")
    args = parser.parse_args()
    build = Path(args.build).resolve()
    helper = build / "disk-helper"
    fake_bin = build / "fake_powershell_bin"
    if not helper.exists() or not (fake_bin / "powershell").exists():
        raise SystemExit(f"{build}: build the helper and the stand-in PowerShell first "
                         f"(cmake --build {build} --target disk-helper fake_powershell)")
    windows_build = Path(args.windows_build).resolve()

    with tempfile.TemporaryDirectory(prefix="protocol-examples.") as tmp:
        work = Path(tmp)
        facts = make_fixtures(work)
        runner = Runner(helper, work, fake_bin)
        examples = native_examples(runner, facts)
        kept = set()
        if (windows_build / "disk-helper.exe").exists() and (shutil.which("wine64") or shutil.which("wine")):
            examples.update(wine_examples(windows_build, work, runner.next_id))
        else:
            print("protocol-examples: no Windows build, the apply_customization example is kept", file=sys.stderr)
            kept.add("apply_customization")
    doc = DOC.read_text()
    DOC.write_text(replace_examples(doc, examples, kept))
    print(f"protocol-examples: {len(examples)} examples written to {DOC.relative_to(ROOT)}")


if __name__ == "__main__":
    main()
