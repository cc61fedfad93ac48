"""murkle-zero serve: the HTTP calls and their refusals, then the page in a real browser."""

import http.client
import json
import os
import shutil
import socket
import subprocess
import sys
import threading
from types import SimpleNamespace

import pytest

import murkle_chess as mc
import murkle_rl as rl
from murkle_rl.zero import cli, serve
from murkle_rl.zero.agent import UniformAgent, line_text, think


@pytest.fixture
def server():
    httpd = serve.make_server(UniformAgent(8, 8), 8, 8, port=0, max_sessions=3)
    thread = threading.Thread(target=httpd.serve_forever, daemon=True)
    thread.start()
    yield httpd
    httpd.shutdown()
    httpd.server_close()


class Client:
    def __init__(self, httpd):
        self.port = httpd.server_address[1]
        self.cookie = None

    def call(self, path, body=None, raw=None, headers=()):
        conn = http.client.HTTPConnection("127.0.0.1", self.port, timeout=60)
        headers = {**({"Cookie": self.cookie} if self.cookie else {}), **dict(headers)}
        if body is None and raw is None:
            conn.request("GET", path, headers=headers)
        else:
            headers = {"Content-Type": "application/json", **headers}
            conn.request("POST", path, body=raw if raw is not None else json.dumps(body), headers=headers)
        response = conn.getresponse()
        data = response.read()
        if response.getheader("Set-Cookie"):
            self.cookie = response.getheader("Set-Cookie").split(";")[0]
        conn.close()
        return response.status, json.loads(data) if response.getheader("Content-Type") == "application/json" else data


def test_a_game_over_http_and_every_refusal_leaves_it_as_it_was(server):
    alice, bob = Client(server), Client(server)
    assert alice.call("/api/state") == (200, None)  # no game yet, and no error for it
    status, state = alice.call("/api/new", {"side": "white"})
    assert status == 200 and state["human"] == "white" and state["moves"] == []
    assert ["e2e4" in row for row in state["legal"]].count(True) == 1 and len(state["legal"]) == 20
    assert state["svg"].startswith("<svg") and state["geometry"]["square"] == 45
    assert alice.call("/api/move", {"from": [4, 1], "to": [4, 3]})[1]["agent_to_move"]
    status, state = alice.call("/api/agent", {"simulations": 16})
    assert status == 200 and len(state["moves"]) == 2 and state["thought"]["line"][0] == state["moves"][1]
    assert -1 <= state["thought"]["value"] <= 1

    bob.call("/api/new", {"side": "black"})  # a second browser: its own game, the agent to move
    assert bob.call("/api/state")[1]["agent_to_move"] and len(alice.call("/api/state")[1]["moves"]) == 2

    before = alice.call("/api/state")[1]
    refusals = [
        ("/api/move", {"lan": "e2e5"}, 400, "illegal move: e2e5"),
        ("/api/move", {"from": [4, 3], "to": [4, 5]}, 400, "illegal move: e4e6"),
        ("/api/move", {"from": [4, 3]}, 400, "a move is"),
        ("/api/move", {"from": [10**30, 0], "to": [0, 0]}, 400, "off the board"),
        ("/api/move", {"from": [6, 0], "to": [5, 2], "promotion": "k"}, 400, "promotion"),
        ("/api/move", [1, 2], 400, "JSON object"),
        ("/api/agent", {"simulations": 16}, 409, "your turn"),
        ("/api/agent", {"simulations": "many"}, 400, "simulations"),
        ("/api/agent", {"simulations": 10**9}, 400, "simulations"),
        ("/api/new", {"fen": "8/8 w - - 0 1"}, 400, "bad FEN"),
        ("/api/new", {"side": "red"}, 400, "side"),
        ("/api/new", {"fen": "4k3/8/8/8/8/8/8/4R1K1 w - - 0 1"}, 400, "the side not to move is in check"),
        ("/api/nothing", {}, 404, "no such call"),
    ]
    for path, body, code, message in refusals:
        status, answer = alice.call(path, body)
        assert status == code and message in answer["error"], (path, body, answer)
    for raw, code in [(b"{not json", 400), (b"\xff\xfe", 400), (b"x" * (serve.MAX_BODY + 1), 413)]:
        status, answer = alice.call("/api/move", raw=raw)
        assert status == code and "error" in answer
    assert alice.call("/api/state")[1] == before  # nothing changed

    # promotions: four moves to one square; without a piece the queen
    carol = Client(server)
    state = carol.call("/api/new", {"fen": "4k3/1P6/8/8/8/8/8/4K3 w - - 0 1"})[1]
    assert sorted(row[4] for row in state["legal"] if row[5].startswith("b7b8")) == ["b", "n", "q", "r"]
    assert carol.call("/api/move", {"from": [1, 6], "to": [1, 7], "promotion": "n"})[1]["fen"].startswith("1N2k3")
    carol.call("/api/undo", {})
    assert carol.call("/api/move", {"from": [1, 6], "to": [1, 7]})[1]["fen"].startswith("1Q2k3")

    # take back: the agent's reply and the player's move
    assert alice.call("/api/undo", {})[1]["moves"] == []
    assert alice.call("/api/undo", {})[0] == 409
    # more browsers than the cap (3): those idle longest lose their games
    for _ in range(2):  # bob and carol have been idle longest
        Client(server).call("/api/new", {})
    assert bob.call("/api/state")[0] == carol.call("/api/state")[0] == 404 and alice.call("/api/state")[0] == 200
    assert server.games.sessions.__len__() == 3
    assert Client(server).call("/", None)[1].startswith(b"<!doctype html>")


def test_the_agent_thinks_and_the_command_runs():
    game = mc.Game.standard()
    for lan in ["e2e4", "e7e5", "d1h5", "b8c6", "f1c4", "g8f6"]:
        game.make_move(game.move_from_lan(lan))
    fen = game.to_fen()
    thought = think(UniformAgent(8, 8), game, 200)
    assert str(thought.move) == "h5f7" and thought.value > 0.5  # the search finds the mate
    assert game.to_fen() == fen and thought.line[0] == "h5f7"
    mate = game.clone()
    mate.make_move(thought.move)
    assert think(UniformAgent(8, 8), mate, 8).move is None
    # a Gumbel root breaks ties in visits by its own score: the line shown starts with the move played
    gumbel = UniformAgent(6, 6)
    gumbel.cfg = SimpleNamespace(eval_gumbel=True, max_considered=16, eval_c_puct=0.3)  # type: ignore[attr-defined]
    for seed in range(4):
        thought = think(gumbel, mc.Game(6, 6, "rnqknr/pppppp/6/6/PPPPPP/RNQKNR w - - 0 1", False), 16, seed=seed)
        assert thought.line[0] == str(thought.move)
    # a best line as the search may give it: actions, moves or LAN texts
    start = mc.Game.standard()
    e4 = start.move_from_lan("e2e4")
    line = [rl.encode_action(start, e4), "e7e5", start.clone().move_from_lan("g1f3")]
    assert line_text(start, line) == ["e2e4", "e7e5", "g1f3"] and start.to_fen() == mc.Game.standard().to_fen()
    out = subprocess.run([sys.executable, "-m", "murkle_rl.zero", "serve", "--width", "1", "--height", "1"],
                         capture_output=True, text=True, timeout=60)
    assert out.returncode == 2 and "1x1" in out.stderr
    for bad in (["--max-sessions", "0"], ["--threads", "-1"], ["--width", "9" * 20]):  # refused before a port is opened
        with pytest.raises(SystemExit):
            cli.main(["serve", *bad])


def test_other_sites_pages_are_refused(server):
    port = server.server_address[1]
    own = f"http://127.0.0.1:{port}"
    refused = [  # (path, body, headers, status)
        ("/", None, {"Host": f"rebound.example:{port}"}, 403),  # DNS rebinding
        ("/api/new", {}, {"Host": f"rebound.example:{port}"}, 403),
        ("/api/new", {}, {"Host": f"127.0.0.1:{port + 1}"}, 403),
        ("/api/new", {}, {"Origin": "http://elsewhere.example"}, 403),
        ("/api/new", {}, {"Origin": "null"}, 403),
        ("/api/state", None, {"Origin": f"http://elsewhere.example:{port}"}, 403),
        ("/api/new", {}, {"Content-Type": "text/plain"}, 415),  # a form or beacon of another site
        ("/api/new", {}, {"Content-Type": "application/x-www-form-urlencoded"}, 415),
    ]
    for path, body, headers, status in refused:
        assert Client(server).call(path, body, headers=headers)[0] == status, (path, headers)
    assert len(server.games.sessions) == 0  # no game was started
    for headers in ({"Host": f"localhost:{port}"}, {"Origin": own},
                    {"Host": f"[::1]:{port}", "Origin": f"http://[::1]:{port}"},
                    {"Content-Type": "application/json; charset=utf-8"}):
        assert Client(server).call("/api/new", {}, headers=headers)[0] == 200, headers
    assert Client(server).call("/favicon.ico", headers={"Origin": own})[0] == 204


@pytest.mark.parametrize("raw", [b'{"simulations": Infinity}', b'{"simulations": 1e999}', b'{"simulations": NaN}',
                                 b'{"simulations": -1e999}', b"[" * 8000 + b"]" * 8000,
                                 b'{"simulations": ' + b"[" * 8000 + b"]" * 8000 + b"}"],
                         ids=["Infinity", "1e999", "NaN", "-1e999", "nested", "nested-value"])
def test_numbers_and_nesting_json_cannot_hold_are_refused(server, raw):
    client = Client(server)
    client.call("/api/new", {"side": "black"})  # the agent to move
    status, answer = client.call("/api/agent", raw=raw)
    assert status == 400 and "error" in answer
    status, answer = client.call("/api/move", raw=raw.replace(b'"simulations": ', b'"from": [0, 0], "to": ', 1))
    assert 400 <= status < 500


def test_silent_connections_are_dropped_and_connections_bounded():
    httpd = serve.make_server(UniformAgent(6, 6), 6, 6, port=0, idle_timeout=0.2, max_connections=2)
    threading.Thread(target=httpd.serve_forever, daemon=True).start()
    try:
        address = httpd.server_address
        silent = [socket.create_connection(address, timeout=60) for _ in range(2)]
        extra = socket.create_connection(address, timeout=60)
        assert extra.recv(100).startswith(b"HTTP/1.1 503")  # no thread left for it: refused at once
        for s in silent:  # the server closes them (a hang here fails after 60 s)
            assert s.recv(100) == b""
            s.close()
        for _ in range(200):  # their threads give their slots back as they end
            if Client(httpd).call("/api/state")[0] == 200:
                break
        else:
            pytest.fail("the server takes no connection after its silent ones were dropped")
    finally:
        httpd.shutdown()
        httpd.server_close()


# ---------------------------------------------------------------------- in a browser

CHROMIUM = shutil.which("chromium") or shutil.which("chromium-browser")
DRIVER = shutil.which("chromedriver")


@pytest.mark.skipif(not (CHROMIUM and DRIVER), reason="needs chromium and chromedriver (Debian: chromium, chromium-driver)")
def test_the_page_in_a_browser(server):
    webdriver = pytest.importorskip("selenium.webdriver", reason="needs selenium")
    from selenium.webdriver.common.action_chains import ActionChains
    from selenium.webdriver.common.by import By
    from selenium.webdriver.support.ui import WebDriverWait

    options = webdriver.ChromeOptions()
    options.binary_location = CHROMIUM
    for arg in ("--headless=new", "--no-sandbox", "--disable-dev-shm-usage", "--window-size=1100,800"):
        options.add_argument(arg)
    options.set_capability("goog:loggingPrefs", {"browser": "ALL"})
    # The browser is not our process: a sanitizer runtime preloaded for the tests stays out of it.
    env = {k: v for k, v in os.environ.items() if k != "LD_PRELOAD"}
    driver = webdriver.Chrome(service=webdriver.ChromeService(DRIVER, env=env), options=options)
    try:
        driver.get(f"http://127.0.0.1:{server.server_address[1]}/")
        page = lambda: driver.execute_script("return window.murkle.busy ? null : window.murkle.state")  # noqa: E731
        wait = lambda test: WebDriverWait(driver, 60).until(lambda d: (s := page()) and test(s) and s)  # noqa: E731
        wait(lambda s: s["moves"] == [])
        # a first visit fails no request: neither its state (it has no game yet) nor a favicon
        assert [e["message"] for e in driver.get_log("browser") if e["level"] == "SEVERE"] == []
        driver.find_element(By.ID, "simulations").clear()
        driver.find_element(By.ID, "simulations").send_keys("8")

        def click(col, row):
            board = driver.find_element(By.CSS_SELECTOR, "#board svg")
            g = page()["geometry"]
            w, h = board.rect["width"], board.rect["height"]  # the picture is centred in its box
            scale = min(w / g["view_width"], h / g["view_height"])
            c, r = (g["width"] - 1 - col, row) if g["flipped"] else (col, g["height"] - 1 - row)
            x = (g["left"] + (c + 0.5) * g["square"] - g["view_width"] / 2) * scale
            y = (g["top"] + (r + 0.5) * g["square"] - g["view_height"] / 2) * scale
            ActionChains(driver).move_to_element_with_offset(board, round(x), round(y)).click().perform()

        click(4, 1)  # e2: its two targets are marked
        assert len(driver.find_elements(By.CSS_SELECTOR, "#marks circle.target")) == 2
        click(4, 3)  # e4, and the agent answers
        state = wait(lambda s: len(s["moves"]) == 2)
        assert state["moves"][0] == "e2e4" and driver.find_element(By.ID, "line").text == state["moves"][1]
        assert driver.find_element(By.ID, "fen").get_attribute("value") == state["fen"]

        click(6, 0)  # g1 to g4 is not a knight's move: the server refuses, nothing changes
        click(6, 3)
        WebDriverWait(driver, 30).until(lambda d: "illegal move: g1g4" in d.find_element(By.ID, "message").text)
        assert page()["moves"] == state["moves"]

        driver.find_element(By.ID, "undo").click()
        wait(lambda s: s["moves"] == [])
        assert driver.find_element(By.ID, "moves").get_attribute("value") == ""

        driver.find_element(By.ID, "flip").click()
        assert wait(lambda s: s["geometry"]["flipped"])
        click(3, 1)  # d2-d4 on the flipped board
        click(3, 3)
        assert wait(lambda s: len(s["moves"]) == 2)["moves"][0] == "d2d4"
    finally:
        driver.quit()
