"""corvalinth - k-means clustering on NumPy float64 arrays."""

from typing import Final, SupportsFloat, SupportsIndex, final

import numpy as np
import numpy.typing as npt

__version__: Final[str]
__all__ = ["KMeans", "__version__"]

@final
class KMeans:
    """K-means estimator: k-means++ seeding followed by Lloyd iterations.

    Fitting stops when the absolute change of inertia between two iterations
    is below ``tol`` or after ``max_iters`` iterations. With an integer
    ``random_state`` the seeding, the centres and the labels are reproducible
    whatever the number of worker threads; ``None`` seeds from the operating
    system. The parameters are fixed at construction.
    """

    def __new__(
        cls,
        n_clusters: SupportsIndex = 8,
        max_iters: SupportsIndex = 300,
        tol: SupportsFloat | SupportsIndex = 1e-4,
        random_state: SupportsIndex | None = None,
    ) -> KMeans: ...
    def fit(self, x: npt.NDArray[np.float64]) -> None:
        """Learn new centres from the rows of the 2-D float64 array ``x``.

        Raises ValueError "n_samples < n_clusters" when ``x`` has fewer rows
        than ``n_clusters``. Can be interrupted (KeyboardInterrupt) between
        iterations; the previous centres are then kept.
        """
    def predict(self, x: npt.NDArray[np.float64]) -> npt.NDArray[np.int32]:
        """Label every row of ``x`` with the index of its nearest centre.

        Raises ValueError "Model not fitted yet. Call fit() first." before the
        first successful fit.
        """
    def fit_predict(self, x: npt.NDArray[np.float64]) -> npt.NDArray[np.int32]:
        """Fit on ``x``, then label the rows of ``x`` with the new centres."""
    @property
    def cluster_centers_(self) -> npt.NDArray[np.float64] | None:
        """A fresh (n_clusters, n_features) copy of the fitted centres, or None."""
    @property
    def n_iter_(self) -> int:
        """Number of Lloyd iterations run by the most recent fit."""
    @property
    def inertia_(self) -> float:
        """Sum of squared distances of the samples to their centres after the
        last iteration run."""
