"""Makes the pictures in docs/: a drawn 10x10 board (board_10x10.svg) and screenshots of the
``murkle-zero serve`` page on 8x8 and 16x12 (serve_8x8.png, serve_16x12.png).

    PYTHONPATH=python python docs/make_pictures.py [--only-svg]

The screenshots need chromium, chromedriver and selenium; the PNGs are reduced to a palette
with Pillow to keep them small.
"""

from __future__ import annotations

import argparse
import io
import shutil
import sys
import threading
from pathlib import Path

import murkle_chess as mc
import murkle_rl as rl
from murkle_rl.zero import serve
from murkle_rl.zero.agent import UniformAgent

DOCS = Path(__file__).resolve().parent


def board_10x10() -> str:
    """A 10x10 game of random moves, at the first check after ten plies or more."""
    import random

    for seed in range(1000):
        rng, game = random.Random(seed), mc.Game(10, 10, rl.start_fen(10, 10), False)
        for ply in range(40):
            moves = game.legal_moves()
            if not moves:
                break
            game.make_move(rng.choice(moves))
            if ply >= 10 and game.is_check() and not game.is_over():
                reply = game.legal_moves()[0]
                return rl.svg(game, lastmove=True, arrows=[reply], size=460)
    raise RuntimeError("no check found")


def screenshot(width: int, height: int, plies: list[str], select: str, path: Path, window: tuple[int, int]) -> None:
    from PIL import Image
    from selenium import webdriver
    from selenium.webdriver.common.by import By
    from selenium.webdriver.common.keys import Keys
    from selenium.webdriver.support.ui import WebDriverWait

    httpd = serve.make_server(UniformAgent(width, height), width, height, port=0, description="no network: the search alone")
    threading.Thread(target=httpd.serve_forever, daemon=True).start()
    options = webdriver.ChromeOptions()
    options.binary_location = shutil.which("chromium") or "/usr/bin/chromium"
    for arg in ("--headless=new", "--no-sandbox", "--disable-dev-shm-usage", f"--window-size={window[0]},{window[1]}",
                "--hide-scrollbars"):
        options.add_argument(arg)
    driver = webdriver.Chrome(service=webdriver.ChromeService(shutil.which("chromedriver")), options=options)
    try:
        driver.get(f"http://127.0.0.1:{httpd.server_address[1]}/")
        state = lambda: driver.execute_script("return window.murkle.busy ? null : window.murkle.state")  # noqa: E731
        WebDriverWait(driver, 60).until(lambda d: state())
        box = driver.find_element(By.ID, "simulations")
        box.clear()
        box.send_keys("200")
        for lan in plies:
            n = len(state()["moves"])
            field = driver.find_element(By.ID, "lan")
            field.clear()
            field.send_keys(lan, Keys.ENTER)
            WebDriverWait(driver, 120).until(lambda d: (s := state()) and len(s["moves"]) == n + 2)
        # a piece selected, its targets marked
        g = state()["geometry"]
        col, row = ord(select[0]) - 97, int(select[1:]) - 1
        driver.execute_script(
            "const b = document.querySelector('#board svg'); const p = b.createSVGPoint();"
            "p.x = arguments[0]; p.y = arguments[1]; const q = p.matrixTransform(b.getScreenCTM());"
            "b.dispatchEvent(new MouseEvent('click', {clientX: q.x, clientY: q.y, bubbles: true}));",
            g["left"] + (col + 0.5) * g["square"], g["top"] + (g["height"] - 0.5 - row) * g["square"],
        )
        image = Image.open(io.BytesIO(driver.get_screenshot_as_png())).convert("RGB")
        image.quantize(colors=64, method=Image.Quantize.MEDIANCUT).save(path, optimize=True)
        print(f"{path.name}: {path.stat().st_size} bytes")
    finally:
        driver.quit()
        httpd.shutdown()
        httpd.server_close()


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--only-svg", action="store_true", help="write board_10x10.svg only")
    args = parser.parse_args(argv)
    text = board_10x10()
    (DOCS / "board_10x10.svg").write_text(text, encoding="utf-8")
    print(f"board_10x10.svg: {len(text)} bytes")
    if not args.only_svg:
        screenshot(8, 8, ["e2e4", "g1f3"], "f1", DOCS / "serve_8x8.png", (1000, 700))
        screenshot(16, 12, ["h2h4", "l1k3"], "i1", DOCS / "serve_16x12.png", (1150, 760))
    return 0


if __name__ == "__main__":
    sys.exit(main())
