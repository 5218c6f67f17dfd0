"""Boundstart's runtime-missing warning under Wine, shown on an Xvfb display of our own.

One loopback-only namespace holding the Xvfb server and one prefix in which no runtime is
installed.  Every failing start shows the box; box_read finds it by its caption, reads its
text and closes it with OK, and the launcher then exits with 3 or 4.
"""
import os
import shutil
import subprocess
import tempfile
import time
import unittest

from testbed import netns, winebox, workspace

BIN = winebox.BIN
LAUNCHER = os.path.join(BIN, "Boundstart.exe")
STANDIN = os.path.join(BIN, "Verimon Tessel.dll")
NOENTRY = os.path.join(BIN, "noentry", "Verimon Tessel.dll")
PRIVATE_PARTS = ("Verimon Tessel", "Versions", "1.0", "Verimon Tessel.dll")
CAPTION = "Verimon Tessel"
ARTIFACTS = os.environ.get("TEST_ARTIFACTS", os.path.join(winebox.WORK, "artifacts"))

# The warning texts by Windows language id, as the user must read them.
TEXTS = {
    0x0407: (
        "Für diese Anwendung ist eine Version von Verimon Tessel erforderlich, die nicht gefunden wurde.\n"
        "Laden Sie die neueste Version der Laufzeitumgebung herunter:\n"
        "https://verimon-tessel.example/runtime\n"
        "oder wenden Sie sich an den Autor der Anwendung, um eine aktualisierte Version zu erhalten."
    ),
    0x0409: (
        "This application requires a version of Verimon Tessel which cannot be found.\n"
        "Please download the latest version of the runtime from\n"
        "https://verimon-tessel.example/runtime,\n"
        "or contact the application author for an updated version."
    ),
    0x0C0A: (
        "Esta aplicación requiere una versión de Verimon Tessel que no se puede encontrar.\n"
        "Descargue la versión más reciente del tiempo de ejecución en \n"
        "https://verimon-tessel.example/runtime,\n"
        ", o bien, póngase en contacto con el autor de la aplicación para obtener una versión actualizada."
    ),
    0x040C: (
        "Cette application nécessite une version d'Verimon Tessel qui est introuvable.\n"
        "Veuillez télécharger la dernière version de l'exécutable à partir de \n"
        "https://verimon-tessel.example/runtime\n"
        "ou contacter l'auteur de l'application pour obtenir une mise à jour."
    ),
    0x0411: (
        "このアプリケーションで必要な Verimon Tessel のバージョンが見つかりません。\n"
        "ランタイムの最新バージョンを \n"
        "https://verimon-tessel.example/runtime からダウンロードするか、\n"
        "アプリケーション作成者に問い合わせてアップデートバージョンを入手してください。"
    ),
    0x0416: (
        "Este aplicativo requer uma versão do Verimon Tessel que não pode ser encontrada.\n"
        "Baixe a versão mais recente do tempo de execução em\n"
        "https://verimon-tessel.example/runtime\n"
        "ou entre em contato com o autor do aplicativo para obter uma versão atualizada."
    ),
    0x0804: (
        "无法找到此应用程序所需的 Verimon Tessel 版本。\n"
        "请从 https://verimon-tessel.example/runtime\n"
        "下载该运行时的最新版本，\n"
        "或与应用程序作者联系，索取更新版本。"
    ),
    0x0404: (
        "找不到此應用程式所需的 Verimon Tessel 版本。\n"
        "請從 https://verimon-tessel.example/runtime\n"
        "下載最新版本的執行階段，\n"
        "或聯絡應用程式編寫者以取得更新版本。 "
    ),
}
ENGLISH = TEXTS[0x0409]

# (LC_ALL, the text that UI language gets)
LANGUAGES = (
    ("de_DE.UTF-8", TEXTS[0x0407]),
    ("en_GB.UTF-8", ENGLISH),          # no entry of its own: English (United States)
    ("fr_CA.UTF-8", TEXTS[0x040C]),
    ("ja_JP.UTF-8", TEXTS[0x0411]),
    ("zh_TW.UTF-8", TEXTS[0x0404]),    # the only id that gets Traditional Chinese
    ("zh_HK.UTF-8", TEXTS[0x0804]),    # Simplified Chinese stands first in the table
    ("pt_PT.UTF-8", TEXTS[0x0416]),
    ("es_MX.UTF-8", TEXTS[0x0C0A]),
    ("fi_FI.UTF-8", ENGLISH),          # no Finnish entry: the default
)


def place(source, *parts):
    path = os.path.join(*parts)
    os.makedirs(os.path.dirname(path), exist_ok=True)
    shutil.copyfile(source, path)
    return path


def start_xvfb(ns):
    """Xvfb on the first free display number from 90 on, inside `ns`; (process, ":N")."""
    for number in range(90, 190):
        if os.path.exists("/tmp/.X11-unix/X%d" % number) or os.path.exists("/tmp/.X%d-lock" % number):
            continue
        proc = ns.popen(["Xvfb", ":%d" % number, "-nolisten", "tcp", "-screen", "0", "800x600x24"],
                        stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        deadline = time.monotonic() + 15
        while proc.poll() is None and time.monotonic() < deadline:
            if os.path.exists("/tmp/.X11-unix/X%d" % number):
                return proc, ":%d" % number
            time.sleep(0.1)
        if proc.poll() is None:
            proc.kill()
        proc.wait()
    raise RuntimeError("no free X display number")


def setUpModule():
    global NS, BOX, WORK, XVFB, DISPLAY
    NS = netns.Namespace("bsw")
    XVFB, DISPLAY = start_xvfb(NS)
    BOX = winebox.WineBox(NS, {"DISPLAY": DISPLAY})
    WORK = workspace.work_dir("boundstart-warning")
    os.makedirs(ARTIFACTS, exist_ok=True)


def tearDownModule():
    BOX.close()
    XVFB.terminate()
    XVFB.wait(timeout=20)
    NS.delete()
    shutil.rmtree(WORK, ignore_errors=True)


class WarningBoxTest(unittest.TestCase):
    def layout(self, private=None):
        """A launcher in a fresh folder, with `private` as its private copy if given."""
        folder = tempfile.mkdtemp(dir=WORK)
        exe = place(LAUNCHER, folder, "Boundstart.exe")
        if private:
            place(private, folder, *PRIVATE_PARTS)
        return exe

    def warn(self, exe, args=(), env=None, cwd=None, screenshot=None):
        """Starts exe, reads and closes the box; returns (exit code, box header, box text)."""
        launcher = BOX.popen(exe, args, env=env, cwd=cwd or WORK, stdout=subprocess.PIPE,
                             stderr=subprocess.PIPE)
        try:
            read = BOX.run("box_read.exe", [CAPTION, "30000"] + (["keep"] if screenshot else []),
                           timeout=90)
            self.assertEqual(read.returncode, 0, "no box with the caption %r" % CAPTION)
            if screenshot:
                NS.run(["import", "-display", DISPLAY, "-window", "root", screenshot],
                       timeout=60)
                self.assertEqual(BOX.run("box_read.exe", [CAPTION, "5000"], timeout=60).returncode, 0)
            out, _ = launcher.communicate(timeout=60)
        finally:
            if launcher.poll() is None:
                launcher.kill()
                launcher.wait()
        self.assertNotIn(b"standin-entry", out)
        header, _, text = read.stdout.decode("utf-8").partition("\n")
        return launcher.returncode, header, text

    def test_text_follows_the_ui_language(self):
        exe = self.layout()
        for locale, expected in LANGUAGES:
            with self.subTest(locale):
                code, header, text = self.warn(exe, env={"LC_ALL": locale})
                self.assertEqual(code, 3)
                # No owner window, one OK button and nothing else to press.
                self.assertEqual(header, "owner=0 ok=1 cancel=0")
                self.assertEqual(text, expected)

    def test_runtime_without_entry_shows_the_box_and_gives_4(self):
        code, header, text = self.warn(self.layout(NOENTRY), env={"LC_ALL": "de_DE.UTF-8"})
        self.assertEqual((code, header, text), (4, "owner=0 ok=1 cancel=0", TEXTS[0x0407]))

    def test_no_library_beside_launcher_in_working_dir_or_on_path_is_loaded(self):
        exe = self.layout()
        place(STANDIN, os.path.dirname(exe), "Verimon Tessel.dll")
        cwd = tempfile.mkdtemp(dir=WORK)
        place(STANDIN, cwd, "Verimon Tessel.dll")
        place(STANDIN, cwd, *PRIVATE_PARTS)
        place(STANDIN, cwd, "Versions", "1.0", "Verimon Tessel.dll")
        on_path = tempfile.mkdtemp(dir=WORK)
        place(STANDIN, on_path, "Verimon Tessel.dll")
        env = {"LC_ALL": "en_US.UTF-8", "WINEPATH": BOX.windows_path(on_path)}
        self.assertEqual(self.warn(exe, env=env, cwd=cwd)[0], 3)
        # "-runtime <dir>" naming a folder with a runtime changes nothing either.
        for args in (["-runtime", BOX.windows_path(cwd)], ["x", "y", "-runtime", BOX.windows_path(cwd)]):
            with self.subTest(args=args):
                self.assertEqual(self.warn(exe, args, env=env, cwd=cwd)[0], 3)

    def test_screenshot_of_the_box(self):
        shot = os.path.join(ARTIFACTS, "boundstart-warning.png")
        code, _, text = self.warn(self.layout(), env={"LC_ALL": "en_US.UTF-8"}, screenshot=shot)
        self.assertEqual((code, text), (3, ENGLISH))
        with open(shot, "rb") as f:
            self.assertEqual(f.read(8), b"\x89PNG\r\n\x1a\n")


if __name__ == "__main__":
    unittest.main()
