"""Sampling campaigns too big for one machine, on a Dask cluster.

Models pickle, so a :class:`~halfmoon.Model` can be sent once to every worker of a
``dask.distributed`` cluster and evaluated there on batches of parameter sets. This module is
the recipe, in two functions:

- :func:`evaluate_batches`: one model, many batches of parameter sets (a population-based
  sampler's proposals, or a grid), spread over the workers;
- :func:`evaluate_campaign`: many models (many targets, or many independent channel fits),
  each with its batches.

Both return exactly what the same calls give locally, bit for bit: every worker runs the same
compiled code on the same inputs.

Install the optional dependency with ``pip install 'halfmoon[dask]'``. On a real cluster, start
a scheduler and workers (for example ``dask scheduler`` on one node, ``dask worker
tcp://scheduler:8786 --nworkers 8 --nthreads 1`` on each of the others, or a batch-system
deployment with ``dask-jobqueue``), then connect with
``client = dask.distributed.Client("tcp://scheduler:8786")``. One thread per worker process
suits the model: the engine can thread a single large call itself.

Examples
--------
>>> from dask.distributed import Client, LocalCluster        # doctest: +SKIP
>>> with LocalCluster(n_workers=2, threads_per_worker=1) as cluster, Client(cluster) as client:
...     fluxes = evaluate_batches(client, model, [batch_1, batch_2])  # doctest: +SKIP
"""

from __future__ import annotations

from collections.abc import Sequence
from typing import Any

import numpy as np

from .model import Model
from .parameters import Parameters

__all__ = ["evaluate_batches", "evaluate_campaign"]


def _flux_batch(model: Model, batch: Sequence[Parameters]) -> np.ndarray:
    return model.flux_batch(batch)


def evaluate_batches(
    client: Any, model: Model, batches: Sequence[Sequence[Parameters]]
) -> list[np.ndarray]:
    """``model.flux_batch`` of every batch, computed on the workers of ``client``.

    Parameters
    ----------
    client : dask.distributed.Client
        A client connected to the cluster.
    model : Model
        The model; sent to every worker once.
    batches : sequence of sequences of Parameters
        The batches; each goes to a worker as one task.

    Returns
    -------
    list of numpy.ndarray
        ``model.flux_batch(batch)`` for each batch, in order.
    """
    [shared] = client.scatter([model], broadcast=True)
    futures = client.map(_flux_batch, [shared] * len(batches), list(batches), pure=False)
    return client.gather(futures)


def evaluate_campaign(
    client: Any, tasks: Sequence[tuple[Model, Sequence[Sequence[Parameters]]]]
) -> list[list[np.ndarray]]:
    """Many models with their batches, all spread over the workers of ``client``.

    Parameters
    ----------
    client : dask.distributed.Client
        A client connected to the cluster.
    tasks : sequence of (Model, batches)
        Each target's (or each independent fit's) model and its batches of parameter sets.

    Returns
    -------
    list of list of numpy.ndarray
        For each task, ``model.flux_batch(batch)`` of each of its batches, in order.
    """
    models = client.scatter([model for model, _ in tasks], broadcast=True)
    futures = [
        client.map(_flux_batch, [shared] * len(batches), list(batches), pure=False)
        for shared, (_, batches) in zip(models, tasks)
    ]
    return [client.gather(group) for group in futures]
