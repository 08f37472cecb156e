"""Formula.plot, Formula.plot_front and the HTML report; the report opened
by a real browser (headless Chromium)."""

import html
import pathlib
import re
import shutil
import subprocess
import sys

import numpy as np
import pytest

pytest.importorskip("matplotlib", reason="the plots and the report need matplotlib, "
                    "which the musl wheel's test environment does not have")

import vok_math  # noqa: E402
from vok_math.discovery import report  # noqa: E402

EXAMPLES = pathlib.Path(__file__).resolve().parent.parent / "examples"


@pytest.fixture(scope="module")
def gas():
    table = np.loadtxt(EXAMPLES / "ideal_gas.csv", delimiter=",", skiprows=1)
    data = {"n": table[:, 0], "T": table[:, 1], "V": table[:, 2], "P": table[:, 3]}
    return data, vok_math.discover(data, "P")


def test_plot_shows_observed_against_predicted_and_the_residuals(gas):
    data, f = gas
    fit, residuals = f.plot(data, "P").axes
    predicted = f.predict(data)
    np.testing.assert_array_equal(fit.collections[0].get_offsets(), np.c_[predicted, data["P"]])
    np.testing.assert_array_equal(residuals.collections[0].get_offsets(), np.c_[predicted, data["P"] - predicted])


def test_plot_front_marks_the_selected_formula(gas):
    _, f = gas
    front, selected = f.plot_front().axes[0].lines
    assert list(front.get_xdata()) == [g.complexity for g in f.front]
    assert list(front.get_ydata()) == [g.rmse for g in f.front]
    assert (list(selected.get_xdata()), list(selected.get_ydata())) == ([f.complexity], [f.rmse])


def test_plots_say_what_to_install_without_matplotlib(gas, monkeypatch):
    monkeypatch.setitem(sys.modules, "matplotlib", None)
    with pytest.raises(ImportError, match="^Formula.plot_front needs matplotlib, which is not installed: pip install"):
        gas[1].plot_front()


def test_command_line_plot_writes_one_image(tmp_path, capsys):
    from PIL import Image  # matplotlib's own dependency
    from vok_math import cli

    path = tmp_path / "fit.png"
    assert cli.main(["discover", str(EXAMPLES / "ideal_gas.csv"), "--target", "P", "--plot", str(path)]) == 0
    pixels = np.asarray(Image.open(path).convert("RGB"))
    height, width, _ = pixels.shape
    assert width > 3 * height and len(np.unique(pixels.reshape(-1, 3), axis=0)) > 100  # three panels, drawn


def test_report_needs_nothing_from_elsewhere(gas, tmp_path):
    data, f = gas
    text = report(f, data, "P", tmp_path / "r.html", options={"beam_width": 2000})
    urls = re.findall(r'(?:src|href)="([^"]*)"', text)
    assert len(urls) == 3 and all(url.startswith("data:image/") for url in urls) and "<script" not in text
    assert (tmp_path / "r.html").read_text(encoding="utf-8") == text


def test_report_in_chromium(gas, tmp_path):
    from PIL import Image  # matplotlib's own dependency

    chromium = shutil.which("chromium")
    assert chromium, "chromium is not installed (make setup installs it)"
    page = tmp_path / "r.html"
    command = [sys.executable, "-P", "-m", "vok_math", "discover", EXAMPLES / "ideal_gas.csv", "--target", "P",
               "--report", page]
    subprocess.run(command, check=True, capture_output=True)
    browser = [chromium, "--headless", "--no-sandbox", "--disable-gpu", "--hide-scrollbars",
               f"--user-data-dir={tmp_path / 'profile'}", "--window-size=1200,1800"]
    shot = tmp_path / "shot.png"
    subprocess.run([*browser, f"--screenshot={shot}", page.as_uri()], check=True, capture_output=True, timeout=300)
    dom = subprocess.run([*browser, "--dump-dom", page.as_uri()], check=True, capture_output=True, text=True,
                         timeout=300).stdout
    _, f = gas
    assert f"<h1>{html.escape(str(f))}</h1>" in dom
    assert all(f"<td class=\"text\">{html.escape(g.formula)}</td>" in dom for g in f.front)
    pixels = np.asarray(Image.open(shot).convert("RGB")).astype(int)
    assert pixels.shape == (1800, 1200, 3)

    def share(color):  # of the pixels within a small distance of color
        return np.mean(np.abs(pixels - color).sum(axis=2) < 60)

    # The formula in black type; the plots' points and lines in matplotlib's
    # first colours (blue points and front, red diagonal and marker).
    assert share((0, 0, 0)) > 1e-3 and share((31, 119, 180)) > 1e-4 and share((214, 39, 40)) > 1e-4
