"""The README's demo, as a Python user writes it: open card 0 (the simulated card), load the model
file made from examples/demo_model.json, run a batch of numpy arrays through it and check the
results against numpy, then run its NPU part asynchronously and print the model's summary.

    PYTHONPATH=build/python python3 examples/demo.py build/examples/demo_model.zrb
"""
import sys

import numpy as np
import numpy.typing as npt

import ophel

Floats = npt.NDArray[np.float32]

BATCH, VALUES = 4, 16


def reference(x: Floats) -> tuple[npt.NDArray[np.float64], npt.NDArray[np.float64]]:
    """What the model computes: on the card the int8 scores 2 q + 1 of the input rounded to int8
    steps (q), on the host their softmax over each item."""
    q = np.clip(np.floor(x + 0.5), -128, 127)
    scores = np.clip(2 * q + 1, -128, 127)
    e = np.exp(scores - scores.max(axis=-1, keepdims=True))
    return scores, e / e.sum(axis=-1, keepdims=True)


def describe(model: ophel.Model) -> str:
    """The model's file and the shapes of its inputs and outputs."""
    lines = [f"model {model.get_model_path()}"]
    lines += [f"  input {i}:  {shape}" for i, shape in enumerate(model.get_model_input_shape())]
    lines += [f"  output {i}: {shape}" for i, shape in enumerate(model.get_model_output_shape())]
    return "\n".join(lines)


def main(path: str) -> int:
    ophel.set_log_level(ophel.LogLevel.WARN)
    print(f"ophel {ophel.__version__} (revision {ophel.version.__git_version__}), "
          f"{ophel.version.__vendor__} {ophel.version.__product__}")
    acc = ophel.Accelerator(0)

    # The whole model: the card's scores, then the host's softmax (a CPU layer).
    model = ophel.Model(path)
    print("\n" + describe(model))
    model.launch(acc)
    x = np.random.default_rng(7).uniform(-4, 4, size=(BATCH, 1, 1, VALUES)).astype(np.float32)
    scores, prob = (np.asarray(result) for result in model.infer([x]))
    want_scores, want_prob = reference(x)
    worst = max(np.abs(scores - want_scores).max(), np.abs(prob - want_prob).max())
    print(f"\nitem 0 of {BATCH}:      x   scores     prob")
    for k in range(VALUES):
        print(f"              {x[0, 0, 0, k]:6.2f}   {scores[0, 0, 0, k]:6.0f}   {prob[0, 0, 0, k]:.4f}")
    print(f"largest difference from the host reference over the batch: {worst:g}")
    model.dispose()

    # The same file's NPU part alone, one request per item through the asynchronous pipeline.
    config = ophel.ModelConfig()
    config.force_single_npu_bundle(0)
    config.set_async_pipeline_enabled(True)
    npu = ophel.Model(path, config)
    npu.launch(acc)
    futures = [npu.infer_async([item]) for item in x]
    async_scores = np.stack([np.asarray(future.get()[0]) for future in futures])
    async_worst = np.abs(async_scores - want_scores).max()
    print(f"\n{BATCH} asynchronous requests on the NPU part: largest difference {async_worst:g}")
    npu.dispose()

    print("\n" + ophel.get_model_summary(path))
    same = worst <= 1e-6 and async_worst == 0
    print("results match the host reference" if same else "MISMATCH with the host reference")
    return 0 if same else 1


if __name__ == "__main__":
    if len(sys.argv) != 2:
        sys.exit(f"usage: {sys.argv[0]} MODEL.zrb")
    sys.exit(main(sys.argv[1]))
