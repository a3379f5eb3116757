"""The Dask recipe: a local cluster of two worker processes, started here, gives exactly the
results of local calls."""

from __future__ import annotations

import numpy as np
import pytest
from halfmoon import Model, Parameters

distributed = pytest.importorskip("dask.distributed")
from halfmoon.distributed import evaluate_batches, evaluate_campaign  # noqa: E402

BASE = Parameters(
    mid_transit=0.0,
    period=3.0,
    radius_leading=0.1,
    radius_trailing=0.12,
    semi_major_axis=8.0,
    inclination=88.0,
    law="quadratic",
    coefficients=(0.4, 0.25),
)


def batch(seed: int, size: int = 6, channels: bool = False) -> list[Parameters]:
    rng = np.random.default_rng(seed)
    base = BASE.replace(radius_leading=(0.1, 0.105, 0.11)) if channels else BASE
    return [
        base.replace(mid_transit=rng.normal(0.0, 1e-3), rotation=rng.uniform(-40, 40))
        for _ in range(size)
    ]


@pytest.fixture(scope="module")
def client():
    with (
        distributed.LocalCluster(
            n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None
        ) as cluster,
        distributed.Client(cluster) as connected,
    ):
        yield connected


def test_batches_on_two_worker_processes_match_local_calls(client) -> None:
    model = Model(BASE, np.linspace(-0.1, 0.1, 200), exposure_time=0.01, subsamples=3)
    batches = [batch(seed) for seed in range(5)]
    remote = evaluate_batches(client, model, batches)
    assert len(remote) == 5
    for got, parameters in zip(remote, batches):
        assert np.array_equal(got, model.flux_batch(parameters))
    workers = client.run(lambda: __import__("os").getpid())
    assert len(set(workers.values())) == 2  # two processes did the work


def test_a_campaign_of_targets_and_channel_fits_matches_local_calls(client) -> None:
    t = np.linspace(-0.1, 0.1, 150)
    tasks = [
        (Model(BASE, t), [batch(1), batch(2)]),
        (
            Model(BASE.replace(period=5.0, flux_ratio=1e-3), t + 0.01, kind="orbit"),
            [[p.replace(period=5.0, flux_ratio=1e-3) for p in batch(3)]],
        ),
        (Model(BASE, t), [batch(4, channels=True)]),
    ]
    remote = evaluate_campaign(client, tasks)
    for (model, batches), results in zip(tasks, remote):
        for parameters, got in zip(batches, results):
            assert np.array_equal(got, model.flux_batch(parameters))
