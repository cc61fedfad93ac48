"""The network, the agent built on it, and the files that hold them.

Two kinds of file hold a network: ``checkpoint.pt``, everything a run needs to resume (the
network with its optimizer, the replay buffer, the games in flight...), and ``agent.pt``, the
network's weights and its configuration only (a few hundred KB), which is what the front ends
load. :func:`load_agent` takes either, or the run directory that holds them, and reads them
without unpickling code: agent files are shared, and a file that holds anything but weights and
plain values is refused. Only resuming a run reads its checkpoint whole.
"""

from __future__ import annotations

import io
import os
import re
import time
import warnings
import weakref
import zipfile
from copy import deepcopy
from dataclasses import asdict
from pathlib import Path
from typing import Any, cast

import numpy as np

import murkle_chess

try:
    import torch
    import torch.nn.functional as F
    from torch import nn
except ModuleNotFoundError as e:  # pragma: no cover - depends on the environment
    raise ModuleNotFoundError(f"murkle_rl.zero needs PyTorch for this: pip install 'murkle_chess[train]' ({e})",
                              name=e.name) from None

from .config import MAX_DISTANCE, WHITE_TO_MOVE, Config, layout_planes, mirrored_planes, planes_into
from .disk import DiskFull, out_of_space

CHECKPOINT = "checkpoint.pt"
AGENT = "agent.pt"
AGENT_FORMAT = "murkle-zero agent"


class ResBlock(nn.Module):
    def __init__(self, channels: int) -> None:
        super().__init__()
        self.conv1 = nn.Conv2d(channels, channels, 3, padding=1, bias=False)
        self.bn1 = nn.BatchNorm2d(channels)
        self.conv2 = nn.Conv2d(channels, channels, 3, padding=1, bias=False)
        self.bn2 = nn.BatchNorm2d(channels)

    def forward(self, x: torch.Tensor) -> torch.Tensor:
        y = F.relu(self.bn1(self.conv1(x)))
        return F.relu(x + self.bn2(self.conv2(y)))


class Net(nn.Module):
    """A residual tower over the input planes (``Config.input_planes``). The policy
    head is convolutional: its (P, H, W) output is the full action layout, flattened to logits
    over every full action. The value head pools the board, so the same layers fit any board
    with the same P.

    ``white`` is the input channel that holds 1 when White is to move. With ``canonical``, the
    network sees every position from the side to move: Black's are turned top to bottom and
    marked as White's, and the policy is turned back, so one set of weights learns both sides'
    play. Inputs and outputs stay in the board's own orientation.

    With ``material``, a third head reads the value head's pooled features and predicts the
    material balance a few plies ahead (``forward(x, material=True)``), an auxiliary target
    for training only."""

    def __init__(self, input_planes: int, action_planes: int, channels: int, blocks: int,
                 white: int, canonical: bool = False, material: bool = False, any_size: bool = False) -> None:
        super().__init__()
        self.white, self.canonical, self.any_size = white, canonical, any_size
        self.planes = layout_planes(MAX_DISTANCE) if any_size else action_planes
        # Per board's move planes: where they sit in the head's layout, and their mirror. Not
        # buffers: a moving average of the weights (--ema) averages every buffer, and would blur them.
        self.into: dict[int, torch.Tensor] = {}
        self.mirrors: dict[int, torch.Tensor] = {}
        self.stem = nn.Sequential(nn.Conv2d(input_planes, channels, 3, padding=1, bias=False),
                                  nn.BatchNorm2d(channels), nn.ReLU())
        self.tower = nn.Sequential(*(ResBlock(channels) for _ in range(blocks)))
        self.policy = nn.Sequential(nn.Conv2d(channels, channels, 3, padding=1, bias=False),
                                    nn.BatchNorm2d(channels), nn.ReLU(), nn.Conv2d(channels, self.planes, 1))
        self.value_conv = nn.Sequential(nn.Conv2d(channels, channels, 1, bias=False), nn.BatchNorm2d(channels), nn.ReLU())
        pooled = (3 if any_size else 2) * channels
        self.value_fc = nn.Sequential(nn.Linear(pooled, 64), nn.ReLU(), nn.Linear(64, 1))
        self.material_fc = nn.Linear(pooled, 1) if material else None

    def board_planes(self, height: int, width: int) -> tuple[torch.Tensor, torch.Tensor]:
        """(where each move plane of a height x width board sits in the head's layout, the
        mirror of those planes)."""
        planes = murkle_chess.Game.get_move_planes_count(width, height)
        if planes not in self.into:
            if not self.any_size and planes != self.planes:
                raise ValueError(f"this network plays boards with {self.planes} move planes, not {width}x{height}")
            self.into[planes] = torch.from_numpy(planes_into(planes, self.planes))
            self.mirrors[planes] = torch.tensor(mirrored_planes(planes))
        return self.into[planes], self.mirrors[planes]

    def forward(self, x: torch.Tensor, material: bool = False) -> tuple[torch.Tensor, ...]:
        """Logits (k, A) over the board's full actions and values (k,); with ``material``, also
        the material head's (k,)."""
        height, width = x.shape[2], x.shape[3]
        into, mirror = self.board_planes(height, width)
        black = None
        if self.canonical:
            black = (x[:, self.white, 0, 0] < 0.5).view(-1, 1, 1, 1)
            x = torch.where(black, x.flip(2), x)
            x[:, self.white] = 1.0
        h = self.tower(self.stem(x.contiguous(memory_format=torch.channels_last)))
        if self.any_size:  # only the board's own planes of the head are computed
            out = cast(nn.Conv2d, self.policy[3])
            assert out.bias is not None
            logits = F.conv2d(self.policy[:3](h), out.weight[into], out.bias[into])
        else:
            logits = self.policy(h)
        if black is not None:
            logits = torch.where(black, logits[:, mirror].flip(2), logits)
        v = self.value_conv(h)
        mean = v.mean((2, 3))
        pooled = [mean, v.amax((2, 3))]
        if self.any_size:  # the board's size, for a value head that reads every size alike
            pooled.append(mean * ((height * width) ** 0.5 - 7.0) / 4.0)
        v = torch.cat(pooled, 1)
        out_ = logits.flatten(1), torch.tanh(self.value_fc(v)).squeeze(1)
        if material:
            if self.material_fc is None:
                raise ValueError("this network has no material head (trained with --material-weight 0)")
            return *out_, torch.tanh(self.material_fc(v)).squeeze(1)
        return out_


def use_threads(n: int) -> None:
    """PyTorch on n threads, or on every core this process may use with 0."""
    torch.set_num_threads(n or len(os.sched_getaffinity(0)))


def make_net(cfg: Config) -> Net:
    """A new network for the configuration. Its weights and activations are channels-last
    (NHWC), which a CPU runs these small convolutions faster in than NCHW, in self-play and in
    training alike. Saved weights are the same either way."""
    net = Net(len(cfg.input_planes), cfg.action_planes, cfg.channels, cfg.blocks,
              list(cfg.input_planes).index(WHITE_TO_MOVE), cfg.canonical, cfg.material_weight > 0, cfg.any_size)
    return net.to(memory_format=torch.channels_last)  # type: ignore[call-overload]  # a keyword the stubs lack


def input_tensor(x: np.ndarray) -> torch.Tensor:
    """The planes as a tensor sharing their memory. A search hands them read-only; PyTorch warns
    about a read-only array, but the network only reads its input."""
    if x.flags.writeable:
        return torch.from_numpy(x)
    with warnings.catch_warnings():
        warnings.filterwarnings("ignore", "The given NumPy array is not writable", UserWarning)
        return torch.from_numpy(x)


class Evaluator:
    """The network as the search sees it, and the agent every front end uses: the 105 planes
    ``(k, 105, H, W)`` float32, or just the ``input_planes`` it reads ``(k, len(input_planes),
    H, W)`` (what a GameBatch made with ``planes=input_planes`` writes), in; logits ``(k, A)``
    and values ``(k,)`` out as NumPy arrays. ``width`` and ``height`` are the board it was
    trained on (the first, with several); with ``any_size`` it plays every board up to 32x32,
    else the boards with its ``action_planes``.

    With ``onnx``, the network's present weights run in ONNX Runtime when it is installed (see
    :func:`onnx_session`; a session per board size, made when that size first comes), else in
    PyTorch; with ``bf16``, in PyTorch in bfloat16 (see :func:`bf16_copy`); later changes to
    ``net`` are not seen with either."""

    def __init__(self, net: Net, cfg: Config, onnx: bool = False, bf16: bool = False) -> None:
        self.net = net
        self.cfg = cfg
        self.inputs = cfg.input_planes
        self.input_planes = [int(p) for p in self.inputs]  # what a batch may give it alone
        self.width, self.height, self.action_planes = cfg.width, cfg.height, cfg.action_planes
        self.any_size = cfg.any_size
        self.max_side = MAX_DISTANCE + 1  # the largest board the head's layout holds (any_size)
        self.positions = 0
        started = time.perf_counter()
        self.bf16_net = bf16_copy(net) if bf16 else None
        self.onnx = onnx and not bf16
        self.sessions: dict[tuple[int, int], Any] = {}
        self.session = self.session_for(cfg.height, cfg.width)
        self.seconds = time.perf_counter() - started  # the network's time, its export included

    def session_for(self, height: int, width: int) -> Any:
        """The ONNX Runtime session of a board size (None: PyTorch computes)."""
        if not self.onnx:
            return None
        if (height, width) not in self.sessions:
            self.sessions[(height, width)] = onnx_session(self.net, self.cfg, height, width)
        return self.sessions[(height, width)]

    def __call__(self, planes: np.ndarray, mask: np.ndarray | None = None) -> tuple[np.ndarray, np.ndarray]:
        started = time.perf_counter()
        x = np.ascontiguousarray(self.select(planes), np.float32)
        session = self.session_for(x.shape[2], x.shape[3])
        if session is not None:
            logits, values = session.run(None, {"planes": x})
        elif self.bf16_net is not None:
            with torch.inference_mode():
                logits, values = (t.float().numpy() for t in self.bf16_net(input_tensor(x).to(torch.bfloat16)))
        else:
            self.net.eval()
            device = next(self.net.parameters()).device
            with torch.inference_mode():
                logits, values = (t.cpu().numpy() for t in self.net(input_tensor(x).to(device)))
        self.seconds += time.perf_counter() - started
        self.positions += len(planes)
        return logits, values

    def select(self, planes: np.ndarray) -> np.ndarray:
        """The planes the network reads, from all 105 or from just those."""
        if planes.ndim == 4 and planes.shape[1] == len(self.inputs):  # first: 105 of them with 7 plies of history
            return planes
        if planes.ndim == 4 and planes.shape[1] == murkle_chess.TOTAL_INPUT_PLANES:
            if max(self.inputs) >= murkle_chess.TOTAL_INPUT_PLANES:
                raise ValueError("this network reads attack or check planes, which the 105 planes lack: give it the "
                                 "planes of a GameBatch made with planes=agent.input_planes")
            return planes[:, self.inputs]
        raise ValueError(f"planes must have shape (k, 105, H, W) or (k, {len(self.inputs)}, H, W), "
                         f"got {planes.shape}")


def folded(net: Net) -> Net:
    """An inference copy of the network (eval mode) whose batch norms are folded into the
    convolutions before them: the same function, fewer layers."""
    from torch.nn.utils.fusion import fuse_conv_bn_eval

    copy = deepcopy(net).cpu().eval()  # for the CPU's runtimes (ONNX Runtime, bfloat16)
    modules = list(copy.named_modules())
    for (name, conv), (bn_name, bn) in zip(modules, modules[1:]):
        if isinstance(conv, nn.Conv2d) and isinstance(bn, nn.BatchNorm2d):  # each conv feeds the norm after it
            for path, module in ((name, fuse_conv_bn_eval(conv, bn)), (bn_name, nn.Identity())):
                parent, _, leaf = path.rpartition(".")
                setattr(copy.get_submodule(parent), leaf, module)
    return copy


def bf16_copy(net: Net) -> Net:
    """An inference copy of the network in bfloat16, its batch norms folded: for the batches of
    self-play on a CPU that computes bfloat16 natively (a single position is faster in float32)."""
    return folded(net).to(torch.bfloat16).to(memory_format=torch.channels_last)  # type: ignore[call-overload]


# ONNX graphs per network object and board size, exported once: later sessions fill in the
# present weights.
GRAPHS: weakref.WeakKeyDictionary[Net, dict[tuple[int, int], Any]] = weakref.WeakKeyDictionary()


def onnx_graph(net: Net, cfg: Config, height: int | None = None, width: int | None = None) -> Any:
    """The folded network's ONNX graph (a ModelProto) for boards of height x width (default:
    the configuration's), whose weights carry the folded network's own parameter names. It is
    exported from a copy with random weights, so that the exporter merges no two equal tensors
    and every weight keeps its name."""
    height, width = height or cfg.height, width or cfg.width
    graphs = GRAPHS.setdefault(net, {})
    if (height, width) in graphs:
        return graphs[(height, width)]
    import onnx

    template = folded(net)
    with torch.no_grad():
        for value in template.state_dict().values():
            if value.is_floating_point():
                value.uniform_(0.5, 1.5)
    file = io.BytesIO()
    example = torch.zeros(2, len(cfg.input_planes), height, width)
    with warnings.catch_warnings(), torch.no_grad():
        warnings.simplefilter("ignore")  # the exporter's notes on tracing and its deprecation
        torch.onnx.export(template, (example,), file,  # type: ignore[arg-type]  # a file object is fine
                          dynamo=False, do_constant_folding=False, input_names=["planes"],
                          output_names=["logits", "values"],
                          dynamic_axes={"planes": {0: "k"}, "logits": {0: "k"}, "values": {0: "k"}})
    graph = onnx.load_from_string(file.getvalue())
    weights = template.state_dict()
    if unknown := [t.name for t in graph.graph.initializer if t.name not in weights]:
        raise RuntimeError(f"the exported graph holds weights the network does not name: {unknown[:3]}")
    graphs[(height, width)] = graph
    return graph


def onnx_model(net: Net, cfg: Config, height: int | None = None, width: int | None = None) -> Any:
    """The network with its present weights as an ONNX model (a ModelProto) for boards of
    height x width (default: the configuration's). Its input ``planes`` is float32
    ``(k, len(cfg.input_planes), height, width)``: the planes ``cfg.input_planes`` names, in that
    order, as a GameBatch made with ``planes=`` those writes them; its outputs are ``logits``
    ``(k, P * height * width)`` over the board's full actions (move plane ``P`` major, then row,
    then column of the move's source square) and ``values`` ``(k,)`` in [-1, 1] for the side to
    move. Black's positions are turned inside the graph: give them as the engine encodes them."""
    import onnx
    from onnx import numpy_helper

    graph = onnx.ModelProto()
    graph.CopyFrom(onnx_graph(net, cfg, height, width))
    weights = folded(net).state_dict()
    for t in graph.graph.initializer:
        t.CopyFrom(numpy_helper.from_array(np.ascontiguousarray(weights[t.name].numpy()), t.name))
    return graph


def onnx_session(net: Net, cfg: Config, height: int | None = None, width: int | None = None) -> Any:
    """The network, as its weights are now, in an ONNX Runtime session on PyTorch's number of
    threads, for boards of height x width (default: the configuration's); None when ONNX
    Runtime is not installed or the export fails (with a warning), and the caller computes in
    PyTorch. The graph is exported once per network and size; each session takes a copy with
    the present weights. ONNX Runtime answers single positions (play, UCI, matches) and small
    batches faster than PyTorch."""
    try:
        import onnxruntime
    except ImportError:
        return None
    try:
        pass

        graph = onnx_model(net, cfg, height, width)
        options = onnxruntime.SessionOptions()
        options.intra_op_num_threads = torch.get_num_threads()
        options.inter_op_num_threads = 1
        options.log_severity_level = 3  # errors only
        return onnxruntime.InferenceSession(graph.SerializeToString(), options, providers=["CPUExecutionProvider"])
    except Exception as e:  # an exporter or runtime that cannot take this network: PyTorch does
        warnings.warn(f"ONNX Runtime not used, the network runs in PyTorch: {e}", RuntimeWarning, stacklevel=2)
        return None


# ------------------------------------------------------------------ files


def resolve(path: str | Path, prefer: str = AGENT) -> Path:
    """The file a path names: itself, or in a run directory ``prefer`` (agent.pt, else
    checkpoint.pt). Raises FileNotFoundError naming what is missing."""
    path = Path(path)
    if path.is_dir():
        order = (prefer, CHECKPOINT if prefer == AGENT else AGENT)
        for name in order:
            if (path / name).is_file():
                return path / name
        raise FileNotFoundError(f"{path} holds neither {AGENT} nor {CHECKPOINT}")
    if not path.is_file():
        raise FileNotFoundError(f"no such file or run directory: {path}")
    return path


class Unread:
    """What the safe load puts in place of a checkpoint's games in flight (engine batches, random
    generators): an inert stand-in, built from nothing and running no code. Only resuming a run
    reads those objects themselves."""

    def __init__(self, *args: Any) -> None:
        pass

    def __setstate__(self, state: Any) -> None:
        pass


# The objects a checkpoint's games in flight pickle, under each NumPy's module names.
UNREAD = ("murkle_rl._core.GameBatch", "numpy.random._pickle.__generator_ctor",
          "numpy.random._pickle.__bit_generator_ctor", "numpy.random._pcg64.PCG64",
          "numpy.random.bit_generator.SeedSequence", "numpy.random.bit_generator.__pyx_unpickle_SeedSequence",
          "numpy._core.multiarray.scalar", "numpy.core.multiarray.scalar")


def plain_globals() -> list[Any]:
    """What the safe load lets a file name beyond tensors and plain values: NumPy arrays (a
    checkpoint's replay buffer), which unpickle as data and run no code, and the games in flight
    as :class:`Unread` stand-ins."""
    core = getattr(np, "_core", None) or np.core
    kinds = {type(np.dtype(t)) for t in np.sctypeDict.values()}  # each dtype has a class of its own
    arrays = [core.multiarray._reconstruct, np.ndarray, np.dtype, *kinds]
    return [*arrays, *((Unread, name) for name in UNREAD)]


def load_plain(file: Path) -> Any:
    """The contents of a file saved by ``torch.save``, read without unpickling any code
    (``weights_only``: tensors, NumPy arrays and plain values). Raises ValueError naming the file
    and why it cannot be read: empty, not a PyTorch file, damaged, or holding objects that
    would run code to load."""
    try:
        with torch.serialization.safe_globals(plain_globals()):
            return torch.load(file, weights_only=True, map_location="cpu")
    except Exception as e:
        raise ValueError(f"{file}: {unreadable(file, e)}") from None


def unreadable(file: Path, error: Exception) -> str:
    """Why ``torch.load`` could not read ``file``, in a phrase."""
    try:
        size = file.stat().st_size
        with open(file, "rb") as f:
            head = f.read(4)
    except OSError as e:
        return f"cannot be read ({e.strerror or e})"
    if size == 0:
        return "the file is empty"
    if not zipfile.is_zipfile(file):
        if head.startswith(b"PK"):
            return f"the file is damaged (truncated or overwritten; {size} bytes)"
        return "not a PyTorch file (an agent or checkpoint is a zip archive written by torch.save)"
    text = str(error)
    if found := re.search(r"GLOBAL ([\w.]+)", text):
        return (f"refused: it holds a pickled object ({found.group(1)}), and loading it could run code; an agent "
                "file holds only weights and plain values")
    if found := re.search(r"WeightsUnpickler error:\s*(.+)", text):
        return f"refused: it holds objects other than weights and plain values ({found.group(1).strip()[:200]})"
    return "the file is damaged: " + (text.strip().splitlines() or [type(error).__name__])[0][:200]


def read_state(path: str | Path, prefer: str = AGENT) -> tuple[dict[str, Any], Config, Path]:
    """The saved state of an agent file or a checkpoint (or a run directory), its
    configuration, and the file read. Nothing is unpickled but tensors, NumPy arrays and plain
    values: a file that holds anything else (code) is refused with a ValueError. A checkpoint's
    games in flight come back as :class:`Unread` stand-ins (:func:`read_checkpoint` reads them,
    to resume the run)."""
    file = resolve(path, prefer)
    state = load_plain(file)
    if not isinstance(state, dict) or "net" not in state or "config" not in state:
        raise ValueError(f"{file} is not a murkle-zero agent or checkpoint (it lacks the network or its configuration)")
    return state, config_of(state, file), file


def config_of(state: dict[str, Any], file: Path, **overrides: Any) -> Config:
    try:
        return Config.from_saved(state["config"], **overrides)
    except Exception as e:
        raise ValueError(f"{file}: its configuration cannot be read ({e})") from None


def read_checkpoint(path: str | Path, **overrides: Any) -> tuple[dict[str, Any], Config]:
    """A checkpoint's whole state and its configuration (``path``: the file or its run
    directory), to resume the run that wrote it. This is the one full load (the games in flight
    are engine objects), for one's own run only: every other reader takes :func:`read_state`.
    Raises FileNotFoundError or ValueError naming the file and the fault."""
    path = Path(path)
    file = path / CHECKPOINT if path.is_dir() else path
    if not file.is_file():
        raise FileNotFoundError(f"no checkpoint at {file}")
    try:
        state = torch.load(file, weights_only=False, map_location="cpu")
    except Exception as e:
        raise ValueError(f"{file} cannot be resumed: {unreadable(file, e)}") from None
    if not isinstance(state, dict) or not {"net", "config", "buffer"} <= state.keys():
        raise ValueError(f"{file} cannot be resumed: it is not a murkle-zero checkpoint")
    return state, config_of(state, file, **overrides)


def net_of(state: dict[str, Any], cfg: Config, file: Path | None = None) -> Net:
    """The network of a saved state, in evaluation mode. Raises ValueError when the weights do
    not fit the configuration (``file`` names the file in the message)."""
    net = make_net(cfg)
    try:
        net.load_state_dict(state["net"])
    except Exception as e:
        reason = (str(e).strip().splitlines() or [type(e).__name__])[0][:200]
        raise ValueError(f"{file or 'the saved state'}: its weights do not fit its configuration ({reason})") from None
    net.eval()
    return net


def load_net(path: str | Path) -> tuple[Net, Config]:
    """The network of an agent file, a checkpoint or a run directory, and its configuration."""
    state, cfg, file = read_state(path)
    return net_of(state, cfg, file), cfg


def load_agent(path: str | Path, threads: int = 1, onnx: bool = True) -> Evaluator:
    """The agent of a run directory, a checkpoint.pt or an agent.pt, computing on ``threads``
    threads (0: every core), in ONNX Runtime when it is installed and ``onnx``. Loading runs no
    code from the file; a file that is missing, damaged or not an agent raises
    FileNotFoundError or ValueError naming it and why."""
    use_threads(threads)
    net, cfg = load_net(path)
    return Evaluator(net, cfg, onnx)


def save_agent(path: str | Path, net: Net, cfg: Config, **info: Any) -> None:
    """Writes the small agent file: the weights, the configuration and ``info`` (plain
    values: iteration, minutes, games). Replaces an older file only once the new one is whole."""
    weights = {k: v.cpu() for k, v in net.state_dict().items()}  # an agent file loads on any machine
    save_whole({"format": AGENT_FORMAT, "config": asdict(cfg), "net": weights, **info}, Path(path))


def save_whole(obj: Any, path: Path) -> None:
    """``torch.save`` into ``path`` through a temporary file that replaces it once whole: a
    failed write (a full disk, a crash) leaves the older file as it was and no partial file.
    A full disk raises :class:`DiskFull` naming the place."""
    tmp = path.with_name(path.name + ".tmp")
    try:
        # A Python file object, not a path: torch's own writer reports a failed write only as a
        # position mismatch, while through this one the OSError comes along.
        with open(tmp, "wb") as f:
            torch.save(obj, f)
        os.replace(tmp, path)
    except BaseException as e:
        tmp.unlink(missing_ok=True)
        if out_of_space(e):
            raise DiskFull(path) from None
        raise
