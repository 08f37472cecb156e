"""Formula in notebooks and tables: score, front_table, _repr_latex_,
_repr_html_; predict and score on the data forms discover reads; the line
that names a missing optional library."""

import html

import numpy as np
import pytest

import vok_math


def gas(rows=40, noise=0.0):
    rng = np.random.default_rng(5)
    data = {"n": rng.uniform(1, 5, rows), "T": rng.uniform(250, 400, rows), "V": rng.uniform(0.01, 0.1, rows)}
    data["P"] = 8.314 * data["n"] * data["T"] / data["V"] * (1 + noise * rng.standard_normal(rows))
    return data


def test_score_on_the_searched_data_is_r2_and_y_may_name_a_column():
    data = gas(noise=0.01)
    f = vok_math.discover(data, "P")
    assert f.score(data, "P") == f.score(data, data["P"]) == pytest.approx(f.r2, abs=1e-12)
    assert f.r2 < 1


def test_integer_labels_of_a_dataframe_from_an_array_name_the_columns():
    pd = pytest.importorskip("pandas")
    data = gas()
    table = np.column_stack([data["n"], data["T"], data["V"], data["P"]])
    frame, mapping = pd.DataFrame(table), {i: table[:, i] for i in range(4)}
    f = vok_math.discover(frame, "3")
    assert f.names == ("0", "1", "2") and f.target == "3"
    assert f == vok_math.discover(mapping, "3")
    assert f.predict(frame).tolist() == f.predict(mapping).tolist() == f.predict(table[:, :3]).tolist()
    assert f.score(frame, "3") == pytest.approx(1.0)


@pytest.mark.parametrize("call,error,message", [
    (lambda f, d: vok_math.discover(d, "p"), KeyError, r"column 'p', which X does not have \(its columns: 'n', 'T'"),
    (lambda f, d: f.predict({"n": d["n"]}), KeyError, r"lacks the column\(s\) 'T', 'V' \(its columns: 'n'\)"),
    (lambda f, d: f.score(d, "p"), KeyError, "column 'p', which X does not have"),
    (lambda f, d: f.score(np.ones((3, 3)), "P"), TypeError, "y can name a column only when X is a DataFrame"),
    (lambda f, d: f.score(d, d["P"][:3]), ValueError, "y has 3 values but X has 40 rows"),
    (lambda f, d: vok_math.discover({1: d["n"], "1": d["T"]}, d["P"]), ValueError, "more than one column named '1'"),
])
def test_missing_and_mismatched_columns_are_named(call, error, message):
    data = gas()
    f = vok_math.discover(data, "P")
    with pytest.raises(error, match=message):
        call(f, data)


def test_front_table_lists_the_front_and_marks_the_returned_formula():
    pytest.importorskip("pandas")
    data = gas(noise=0.01)
    for snap in (False, True):
        f = vok_math.discover(data, "P", snap=snap)
        table = f.front_table()
        assert list(table.columns) == ["complexity", "error", "rmse", "r2", "formula", "constants", "selected"]
        assert table.complexity.is_monotonic_increasing
        chosen = table[table.selected]
        assert len(chosen) == 1
        assert chosen.iloc[0][["formula", "constants", "rmse"]].tolist() == [f.formula, f.params, f.rmse]
        assert len(table) in (len(f.front), len(f.front) + 1)


def test_notebook_forms_name_the_target_and_escape_the_names():
    data = gas()
    f = vok_math.discover({"<b>&n": data["n"], "T": data["T"], "V": data["V"]}, data["P"])
    named = vok_math.discover(data, "P")
    assert named._repr_latex_() == f"$P = {named.to_latex()}$"
    page = f._repr_html_()
    assert html.escape(str(f)) in page and "<b>&" not in page
    assert f.front and all(html.escape(g.formula) in page for g in f.front)


@pytest.mark.parametrize("module,expression,line", [
    ("sympy", "vok_math.discover([[1.0], [2.0], [3.0]], [1.0, 2.0, 3.0]).to_sympy()",
     "Formula.to_sympy() needs sympy, which is not installed: pip install sympy (or pip install 'vok_math[sympy]')"),
    ("pandas", "vok_math.discover([[1.0], [2.0], [3.0]], [1.0, 2.0, 3.0]).front_table()",
     "Formula.front_table() needs pandas, which is not installed: pip install pandas "
     "(or pip install 'vok_math[pandas]')"),
    ("sklearn", "vok_math.SymbolicRegressor",
     "vok_math.SymbolicRegressor needs scikit-learn, which is not installed: pip install scikit-learn "
     "(or pip install 'vok_math[sklearn]')"),
])
def test_a_missing_optional_library_is_named_in_one_line(run_python, module, expression, line):
    out = run_python(f"""
        import sys
        sys.modules[{module!r}] = None  # makes importing it fail
        import vok_math
        try:
            {expression}
        except ImportError as e:
            print(e)
        """)
    assert out == line + "\n"
