"""One run over many processes or machines.

`BrixelThreadsCluster` has the surface of a `threads_main.BrixelThreadsMain` and runs its tasks in
parts, one manager per Dask worker process.

Needs the cluster extra (pip install "threads_main[cluster]"), which brings Dask `distributed`.
Every machine that runs workers needs the same installation, and the task function must be
loadable there (see README: "Many processes, many machines").
"""

from .cluster import BrixelThreadsCluster, ProcessLostError, UnsendableError
from .merge import merge_errors, merge_timelines, split_workers
from .part import FunctionLoadError

__all__ = ["BrixelThreadsCluster", "ProcessLostError", "UnsendableError", "FunctionLoadError", "merge_errors",
           "merge_timelines", "split_workers"]
