"""Argument matching and scalar conversion for the constructor and methods."""

from __future__ import annotations

import shutil
import subprocess
from pathlib import Path

import numpy as np
import pytest

from corvalinth import KMeans

SAMPLES = np.arange(10.0).reshape(10, 1)
NEW = "KMeans.__new__()"


def fitted(**params):
    model = KMeans(**params)
    model.fit(SAMPLES)
    return model


# --- constructor matching ---------------------------------------------------

@pytest.mark.parametrize("args,kwargs,message", [
    ((1, 2, 3, 4, 5), {}, f"{NEW} takes from 0 to 4 positional arguments but 5 were given"),
    ((1, 2, 3, 4, 5, 6), {}, f"{NEW} takes from 0 to 4 positional arguments but 6 were given"),
    ((1, 2, 3, 4, 5), {"k": 1}, f"{NEW} takes from 0 to 4 positional arguments but 5 were given"),
    ((8,), {"n_clusters": 3}, f"{NEW} got multiple values for argument 'n_clusters'"),
    ((1, 2), {"tol": 3, "max_iters": 4}, f"{NEW} got multiple values for argument 'max_iters'"),
    ((1, 2, 3, None), {"random_state": 4}, f"{NEW} got multiple values for argument 'random_state'"),
    ((), {"k": 3}, f"{NEW} got an unexpected keyword argument 'k'"),
    ((), {"N_clusters": 3}, f"{NEW} got an unexpected keyword argument 'N_clusters'"),
    ((), {"n_clusters ": 3}, f"{NEW} got an unexpected keyword argument 'n_clusters '"),
    ((), {"tol": "bad", "seed": 1}, f"{NEW} got an unexpected keyword argument 'seed'"),
    ((), {"n_clusters": 2, "zz": 1, "aa": 2}, f"{NEW} got an unexpected keyword argument 'zz'"),
    ((1,), {"aa": 2, "n_clusters": 2}, f"{NEW} got an unexpected keyword argument 'aa'"),
    ((1,), {"n_clusters": 2, "aa": 2}, f"{NEW} got multiple values for argument 'n_clusters'"),
])
def test_constructor_matching_messages(args, kwargs, message):
    with pytest.raises(TypeError) as info:
        KMeans(*args, **kwargs)
    assert type(info.value) is TypeError
    assert str(info.value) == message


def test_positional_and_keyword_forms_are_equal():
    a = fitted(**dict(zip(["n_clusters", "max_iters", "tol", "random_state"], [3, 10, 0.5, 42])))
    b = KMeans(3, 10, 0.5, 42)
    b.fit(SAMPLES)
    c = KMeans(random_state=42, tol=0.5, max_iters=10, n_clusters=3)
    c.fit(SAMPLES)
    for other in (b, c):
        np.testing.assert_array_equal(other.cluster_centers_, a.cluster_centers_)
        assert other.n_iter_ == a.n_iter_
        assert other.inertia_ == a.inertia_


# --- method matching --------------------------------------------------------

METHODS = ["fit", "predict", "fit_predict"]


@pytest.mark.parametrize("method", METHODS)
@pytest.mark.parametrize("call,message", [
    (lambda f: f(), "{full} missing 1 required positional argument: 'x'"),
    (lambda f: f(SAMPLES, SAMPLES), "{full} takes 1 positional arguments but 2 were given"),
    (lambda f: f(SAMPLES, SAMPLES, SAMPLES), "{full} takes 1 positional arguments but 3 were given"),
    (lambda f: f(SAMPLES, x=SAMPLES), "{full} got multiple values for argument 'x'"),
    (lambda f: f(SAMPLES, y=SAMPLES), "{full} got an unexpected keyword argument 'y'"),
    # keywords are examined before the missing-argument test
    (lambda f: f(y=SAMPLES), "{full} got an unexpected keyword argument 'y'"),
    (lambda f: f(X=SAMPLES), "{full} got an unexpected keyword argument 'X'"),
    # matching happens before any conversion
    (lambda f: f("not an array", x=object()), "{full} got multiple values for argument 'x'"),
    (lambda f: f(**{"x\udc80": 1}), "{full} got an unexpected keyword argument 'x\ufffd\ufffd\ufffd'"),
])
def test_method_matching_messages(method, call, message):
    model = fitted(n_clusters=2, random_state=0)
    with pytest.raises(TypeError) as info:
        call(getattr(model, method))
    assert type(info.value) is TypeError
    assert str(info.value) == message.format(full=f"KMeans.{method}()")


@pytest.mark.parametrize("method", METHODS)
def test_x_by_keyword(method):
    model = fitted(n_clusters=2, random_state=0)
    result = getattr(model, method)(x=SAMPLES)
    if method == "fit":
        assert result is None
    else:
        assert result.tolist() == [1, 1, 1, 1, 0, 0, 0, 0, 0, 0]


# --- message wording for signatures the module does not expose --------------

FORMATTER = r"""
#include <cstdio>
#include <cstdlib>
#include <string_view>
#include <vector>
#include "binding/call_messages.hpp"
using namespace corvalinth::binding;
int main(int argc, char** argv) {
    std::string_view kind = argv[1];
    if (kind == "positional") {
        std::puts(too_many_positional_message(argv[2], std::strtoul(argv[3], nullptr, 10),
                                              std::strtoul(argv[4], nullptr, 10),
                                              std::strtoul(argv[5], nullptr, 10)).c_str());
    } else if (kind == "missing") {
        std::vector<std::string_view> names(argv + 3, argv + argc);
        std::puts(missing_required_message(argv[2], names).c_str());
    }
    return 0;
}
"""


@pytest.fixture(scope="module")
def formatter(tmp_path_factory):
    compiler = shutil.which("g++")
    if compiler is None:
        pytest.skip("no C++ compiler")
    src_dir = Path(__file__).resolve().parents[2] / "src"
    work = tmp_path_factory.mktemp("messages")
    source = work / "messages.cpp"
    source.write_text(FORMATTER)
    binary = work / "messages"
    subprocess.run([compiler, "-std=c++20", "-I", str(src_dir), str(source), "-o", str(binary)],
                   check=True, capture_output=True)

    def run(*args):
        out = subprocess.run([str(binary), *map(str, args)], capture_output=True, text=True, check=True)
        return out.stdout.rstrip("\n")

    return run


@pytest.mark.parametrize("required,total,given,message", [
    (1, 1, 2, "f() takes 1 positional arguments but 2 were given"),
    (0, 0, 1, "f() takes 0 positional arguments but 1 was given"),
    (0, 4, 5, "f() takes from 0 to 4 positional arguments but 5 were given"),
    (1, 3, 4, "f() takes from 1 to 3 positional arguments but 4 were given"),
])
def test_positional_count_wording(formatter, required, total, given, message):
    assert formatter("positional", "f()", required, total, given) == message


@pytest.mark.parametrize("names,message", [
    (["a"], "C.f() missing 1 required positional argument: 'a'"),
    (["a", "b"], "C.f() missing 2 required positional arguments: 'a' and 'b'"),
    (["a", "b", "c"], "C.f() missing 3 required positional arguments: 'a', 'b', and 'c'"),
    (["a", "b", "c", "d"], "C.f() missing 4 required positional arguments: 'a', 'b', 'c', and 'd'"),
])
def test_missing_list_wording(formatter, names, message):
    assert formatter("missing", "C.f()", *names) == message


# --- scalar conversions -----------------------------------------------------

class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


class IntWithBrokenIndex(int):
    # An int subclass is read as an int; its __index__ is never consulted.
    def __index__(self):
        raise AssertionError("not used")


class FloatLike:
    def __init__(self, value):
        self.value = value

    def __float__(self):
        return self.value


@pytest.mark.parametrize("value,clusters", [
    (True, 1), (np.int64(3), 3), (np.uint8(2), 2), (Index(4), 4), (IntWithBrokenIndex(2), 2),
])
def test_n_clusters_conversion(value, clusters):
    assert fitted(n_clusters=value, random_state=0).cluster_centers_.shape == (clusters, 1)


@pytest.mark.parametrize("value,iterations", [
    (True, 1), (np.int32(5), 5), (Index(3), 3), (IntWithBrokenIndex(4), 4), (0, 0),
])
def test_max_iters_conversion(value, iterations):
    # A negative tolerance never stops the loop: it runs max_iters iterations.
    model = fitted(n_clusters=2, max_iters=value, tol=-1.0, random_state=0)
    assert model.n_iter_ == iterations


@pytest.mark.parametrize("seed,same_as", [(True, 1), (np.uint64(7), 7), (Index(9), 9), (2**64 - 1, 2**64 - 1)])
def test_random_state_conversion(seed, same_as):
    a = fitted(n_clusters=3, random_state=seed)
    b = fitted(n_clusters=3, random_state=same_as)
    np.testing.assert_array_equal(a.cluster_centers_, b.cluster_centers_)


def test_random_state_none_is_no_seed():
    assert KMeans(random_state=None).n_iter_ == 0
    assert fitted(n_clusters=2, random_state=None).cluster_centers_.shape == (2, 1)


@pytest.mark.parametrize("tol", [1, True, np.float32(0.5), FloatLike(2.0), FloatLike(-1.0), Index(1),
                                 float("nan"), float("inf"), -1.0, 0])
def test_tol_conversion_accepts(tol):
    assert KMeans(tol=tol).n_iter_ == 0


@pytest.mark.parametrize("tol,iterations", [(-1.0, 7), (FloatLike(-1.0), 7), (float("nan"), 7), (0, 7),
                                            (10**6, 2)])
def test_tol_value_reaches_the_fit(tol, iterations):
    assert fitted(n_clusters=2, max_iters=7, tol=tol, random_state=0).n_iter_ == iterations


@pytest.mark.parametrize("keyword", ["n_clusters", "max_iters", "random_state"])
@pytest.mark.parametrize("value", [2**64 - 1, 0])
def test_u64_extremes_accepted(keyword, value):
    KMeans(**{keyword: value})


@pytest.mark.parametrize("keyword", ["n_clusters", "max_iters", "random_state"])
@pytest.mark.parametrize("value,message", [
    (-1, "can't convert negative int to unsigned"),
    (Index(-1), "can't convert negative int to unsigned"),
    (2**64, "int too big to convert"),
    (-(2**70), "can't convert negative int to unsigned"),
])
def test_u64_out_of_range_is_overflow_unchanged(keyword, value, message):
    with pytest.raises(OverflowError) as info:
        KMeans(**{keyword: value})
    assert str(info.value) == message


@pytest.mark.parametrize("keyword", ["n_clusters", "max_iters", "random_state"])
@pytest.mark.parametrize("value,type_name", [
    (2.5, "float"), (2.0, "float"), ("3", "str"), (np.float64(1.0), "numpy.float64"), ([1], "list"),
])
def test_u64_not_integer_is_renamed(keyword, value, type_name):
    with pytest.raises(TypeError) as info:
        KMeans(**{keyword: value})
    assert str(info.value) == f"argument '{keyword}': '{type_name}' object cannot be interpreted as an integer"


@pytest.mark.parametrize("keyword,message", [
    ("n_clusters", "argument 'n_clusters': 'NoneType' object cannot be interpreted as an integer"),
    ("max_iters", "argument 'max_iters': 'NoneType' object cannot be interpreted as an integer"),
    ("tol", "argument 'tol': must be real number, not NoneType"),
])
def test_none_is_only_a_default_for_random_state(keyword, message):
    with pytest.raises(TypeError) as info:
        KMeans(**{keyword: None})
    assert str(info.value) == message


@pytest.mark.parametrize("value,message", [
    ("1.0", "argument 'tol': must be real number, not str"),
    (1j, "argument 'tol': must be real number, not complex"),
    (object(), "argument 'tol': must be real number, not object"),
])
def test_tol_not_real_is_renamed(value, message):
    with pytest.raises(TypeError) as info:
        KMeans(tol=value)
    assert str(info.value) == message


def test_tol_overflowing_int_is_overflow_unchanged():
    with pytest.raises(OverflowError) as info:
        KMeans(tol=10**400)
    assert str(info.value) == "int too large to convert to float"


@pytest.mark.parametrize("kwargs,exc,message", [
    ({"n_clusters": "a", "max_iters": "b"}, TypeError,
     "argument 'n_clusters': 'str' object cannot be interpreted as an integer"),
    ({"tol": "x", "max_iters": -1}, OverflowError, "can't convert negative int to unsigned"),
    ({"random_state": "r", "tol": "x"}, TypeError, "argument 'tol': must be real number, not str"),
])
def test_parameters_convert_in_order(kwargs, exc, message):
    with pytest.raises(exc) as info:
        KMeans(**kwargs)
    assert str(info.value) == message
