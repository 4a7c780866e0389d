"""predict gives the labels of exact left-to-right squared distances, lowest index on ties, also on data built
to mislead a fast distance formula: offsets, integer grids and near ties, in every memory layout."""

from __future__ import annotations

import numpy as np
import pytest

from corvalinth import KMeans


def exact_labels(x, centres):
    """Index of the nearest centre by the left-to-right sum of rounded squares, first index on ties."""
    dist = np.empty((x.shape[0], centres.shape[0]))
    for c, centre in enumerate(centres):
        acc = np.full(x.shape[0], -0.0)
        for j in range(x.shape[1]):
            diff = x[:, j] - centre[j]
            acc = acc + diff * diff
        dist[:, c] = acc
    return dist.argmin(axis=1)


def fitted_on(centres):
    """A model whose centres are exactly the given distinct rows (each its own cluster)."""
    model = KMeans(n_clusters=centres.shape[0], max_iters=3, random_state=0)
    model.fit(centres)
    assert sorted(map(tuple, model.cluster_centers_)) == sorted(map(tuple, centres))
    return model


def offset(rng, n, d, k):
    centres = 1e8 + rng.normal(size=(k, d))
    return 1e8 + rng.normal(size=(n, d)), centres


def integer_grid(rng, n, d, k):
    centres = rng.integers(-3, 4, size=(k, d)).astype(float)
    centres = np.unique(centres, axis=0)
    x = rng.integers(-3, 4, size=(n, d)).astype(float)
    pairs = rng.integers(0, centres.shape[0], size=(n // 2, 2))
    x[: n // 2] = (centres[pairs[:, 0]] + centres[pairs[:, 1]]) / 2  # exact midpoints: exact ties
    return x, centres


def near_ties(rng, n, d, k):
    base = 100.0 * rng.normal(size=(k // 2, d))
    centres = np.concatenate([base + rng.normal(size=base.shape), base + rng.normal(size=base.shape)])
    pick = rng.integers(0, k // 2, size=n)
    x = (centres[pick] + centres[pick + k // 2]) / 2  # rounded midpoints: distances a few ulps apart
    return x, centres


LAYOUTS = {
    "C": lambda a: np.ascontiguousarray(a),
    "F": lambda a: np.asfortranarray(a),
    "reversed": lambda a: np.ascontiguousarray(a[::-1, ::-1])[::-1, ::-1],
}


@pytest.mark.parametrize("layout", sorted(LAYOUTS))
@pytest.mark.parametrize("make", [offset, integer_grid, near_ties])
@pytest.mark.parametrize(("d", "k"), [(12, 20), (40, 40), (130, 10)])
def test_predict_labels_are_exact(make, d, k, layout):
    rng = np.random.default_rng(d * 1000 + k)
    x, centres = make(rng, 4000, d, k)
    model = fitted_on(centres)
    x = LAYOUTS[layout](x)
    got = model.predict(x)
    want = exact_labels(x, model.cluster_centers_)
    assert np.array_equal(got, want)
