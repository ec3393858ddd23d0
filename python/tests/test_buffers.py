"""NPU-layout buffers from Python: acquire, reposition, infer_buffer, release, the length checks
of the bare-pointer calls, and model variant handles."""
import gc
import weakref

import numpy as np
import pytest

import ophel
from conftest import config_of, values

SHAPE = (4, 4, 8)


@pytest.fixture
def identity(launch):
    return launch("identity_int8", config_of(cores=2))


def test_a_round_trip_through_buffers(identity):
    x = values(SHAPE)
    ins, outs = identity.acquire_input_buffer([]), identity.acquire_output_buffer([[1, 1, 1]])
    assert [b.size for b in ins] == [1024] and [b.size for b in outs] == [1024]
    identity.reposition_inputs(input=[x], input_buf=ins)
    identity.infer_buffer(ins, outs, [], 0)
    y = np.zeros(x.size, np.float32)
    identity.reposition_outputs(output_buf=outs, output=[y], seqlens=[[1, 1, 1]])
    np.testing.assert_array_equal(y, x.ravel())
    identity.infer_buffer([ins], [outs], [list(SHAPE)], 0)  # the list-of-lists form
    identity.infer_speedrun()
    # A transposed input is read in index order, like the inference calls do.
    t = np.ascontiguousarray(x.transpose(2, 1, 0)).transpose(2, 1, 0)
    identity.reposition_inputs([t], ins)
    identity.infer_buffer(ins, outs, [], 0)
    identity.reposition_outputs(outs, [y])
    np.testing.assert_array_equal(y, x.ravel())
    identity.release_buffer(ins + outs)
    assert [b.size for b in ins + outs] == [1024, 1024]  # release leaves the objects' sizes as they were


def test_arrays_and_buffers_that_do_not_fit_are_refused(identity):
    x = values(SHAPE)
    ins, outs = identity.acquire_input_buffer([]), identity.acquire_output_buffer([])
    value_errors = [
        (lambda: identity.reposition_inputs([x[:3]], ins), "input array 0 holds 96 elements; one item of input 0 takes 128"),
        (lambda: identity.reposition_inputs([x], ins, [[2, 1, 1]]), "input array 0 holds 128 elements; one item of input 0 takes 256"),
        (lambda: identity.reposition_outputs(outs, [np.zeros(127, np.float32)]), "output array 0 holds 127 elements"),
        (lambda: identity.reposition_outputs(outs, [np.zeros(256, np.float32)[::2]]), "output array 0 is not C-contiguous"),
        (lambda: identity.reposition_inputs([np.broadcast_to(np.float32(0), SHAPE)], ins), "array is not writeable"),
    ]
    for call, message in value_errors:
        with pytest.raises(ValueError, match=message):
            call()
    with pytest.raises(TypeError):
        identity.reposition_inputs([x.astype(np.float64)], ins)
    stranger, shrunk = ophel.Buffer(), identity.acquire_input_buffer([])
    stranger.size = 1024
    shrunk[0].size = 512
    for bad_ins, status in (([stranger], "MemoryPool_BufNotFound"), (shrunk, "Model_BufferSizeMismatched")):
        with pytest.raises(ophel.OphelError, match=f"^{status} occurred."):
            identity.infer_buffer(bad_ins, outs, [], 0)
    with pytest.raises(ophel.OphelError, match="^Model_ShapeMismatched occurred."):
        identity.reposition_inputs([x, x], ins)
    identity.release_buffer(ins + outs + shrunk)
    for call in (lambda: identity.infer_buffer(ins, outs, [], 0), lambda: identity.reposition_inputs([x], ins),
                 lambda: identity.release_buffer(ins)):
        with pytest.raises(ophel.OphelError):
            call()
    with pytest.raises(ValueError, match="no longer held by its model's memory pool"):
        ins[0].size = 1024
        ins[0].set_buffer(np.zeros(1024, np.int8))


def lines_with(text, captured):
    return [line for line in (captured.out + captured.err).splitlines() if text in line]


def test_reposition_leaves_counts_to_the_native_call_and_uses_one_item(identity, capfd):
    x = values(SHAPE)
    ins, outs = identity.acquire_input_buffer([]), identity.acquire_output_buffer([])
    short, short_out = x.ravel()[:96], np.zeros(96, np.float32)
    # Lists of counts other than the buffers' or the model's are refused by the native call, with its line
    # and status, whatever the arrays hold.
    refused = [
        (lambda: identity.reposition_inputs([short], []),
         "Size of inputs and input_bufss is mismatched (inputs.size(): 1, input_bufss.size(): 0"),
        (lambda: identity.reposition_inputs([short, x], ins),
         "Size of inputs and input_bufss is mismatched (inputs.size(): 2, input_bufss.size(): 1"),
        (lambda: identity.reposition_outputs([], [short_out]),
         "Size of outputs and output_bufss is mismatched (outputs.size(): 1, output_bufss.size(): 0"),
        (lambda: identity.reposition_outputs(outs + outs, [short_out, short_out]), "2 outputs for a variant of 1"),
        (lambda: identity.reposition_inputs([short], ins, [[1, 1, 1], [1, 1, 1]]),
         "Size of inputs and seqlens is mismatched"),
    ]
    for call, line in refused:
        capfd.readouterr()
        with pytest.raises(ophel.OphelError, match="^Model_ShapeMismatched occurred."):
            call()
        assert len(lines_with(line, capfd.readouterr())) == 1, line
    # An array longer than one item gives and takes one item; the rest is not touched.
    longer = np.concatenate([x.ravel(), np.full(7, 55, np.float32)])
    identity.reposition_inputs([longer], ins)
    identity.infer_buffer(ins, outs, [], 0)
    y = np.full(x.size + 9, -7, np.float32)
    identity.reposition_outputs(outs, [y])
    np.testing.assert_array_equal(y[:x.size], x.ravel())
    assert (y[x.size:] == -7).all()
    identity.release_buffer(ins + outs)


@pytest.mark.parametrize("owner", ["model", "handle"])
def test_release_buffer_refuses_a_list_with_none_before_releasing(identity, owner):
    target = identity if owner == "model" else identity.get_model_variant_handle(0)
    ins, outs = identity.acquire_input_buffer([]), identity.acquire_output_buffer([])
    with pytest.raises(TypeError, match="not None"):
        target.release_buffer([ins[0], None, outs[0]])
    # Nothing went back: the buffers still work and are released once.
    identity.reposition_inputs([values(SHAPE)], ins)
    identity.infer_buffer(ins, outs, [], 0)
    ins[0].set_buffer(np.zeros(1024, np.int8))
    target.release_buffer(ins + outs)


@pytest.mark.parametrize("leave", ["released", "disposed"])
def test_set_buffer_refuses_a_block_gone_back_whatever_the_size(accelerator, make_model, leave):
    model = ophel.Model(make_model("identity_int8"), config_of(cores=2))
    model.launch(accelerator)
    kept = model.acquire_input_buffer([])
    if leave == "released":
        model.release_buffer(kept)
    else:
        model.dispose()  # waits for the block still out (3 s)
    assert kept[0].size == 1024
    for size in (1024, 1, 0):
        kept[0].size = size
        with pytest.raises(ValueError, match="no longer held by its model's memory pool"):
            kept[0].set_buffer(np.zeros(1024, np.int8))
    model.dispose()


def test_set_buffer_stays_inside_the_pool_block(identity):
    x = values(SHAPE)
    ins, outs = identity.acquire_input_buffer([]), identity.acquire_output_buffer([])
    identity.reposition_inputs([x], ins)
    identity.infer_buffer(ins, outs, [], 0)
    # size is writable, but no size past the 1024-byte block reaches the copy.
    for size in (1025, 8 << 10, 1 << 20, 1 << 26):
        ins[0].size = size
        with pytest.raises(ValueError, match=f"buffer size {size} is larger than its block of 1024 bytes"):
            ins[0].set_buffer(np.zeros(size, np.int8))
    y = np.zeros(x.size, np.float32)
    identity.reposition_outputs(outs, [y])
    np.testing.assert_array_equal(y, x.ravel())  # the neighbouring output block is untouched
    # Sizes that fit copy that many bytes, from arrays of any numeric type.
    ins[0].size = 512
    ins[0].set_buffer(np.full(512, 3.0))
    ins[0].size = 1024
    ins[0].set_buffer(np.zeros(1024, np.int8))
    identity.infer_buffer(ins, outs, [], 0)
    identity.reposition_outputs(outs, [y])
    assert not y.any()
    # Lists without items run nothing, like the native call.
    identity.infer_buffer([[]], [[]], [], 0)
    identity.release_buffer(ins + outs)


def collect_accelerator(held, model, buffers):
    watch = weakref.ref(held.pop())
    gc.collect()
    assert watch() is None


@pytest.mark.parametrize("leave, message", [
    (lambda held, model, buffers: model.release_buffer(buffers), "no longer held by its model's memory pool"),
    (lambda held, model, buffers: model.dispose(), "no longer held by its model's memory pool"),
    (collect_accelerator, "no longer held by its model's memory pool"),  # closing the card disposes the model
], ids=["released", "disposed", "accelerator collected"])
def test_set_buffer_refuses_a_buffer_kept_past_its_block(make_model, leave, message):
    # An accelerator of its own, so that the last row can drop it. Dispose
    # waits for the blocks still out (3 s) before it forgets them.
    held = [ophel.Accelerator(0)]
    model = ophel.Model(make_model("identity_int8"), config_of(cores=2))
    model.launch(held[0])
    kept = model.acquire_input_buffer([])
    leave(held, model, kept)
    kept[0].size = 1024  # the block's own size: only whether a pool still holds the block decides
    with pytest.raises(ValueError, match=message):
        kept[0].set_buffer(np.zeros(1024, np.int8))
    model.dispose()


def test_buffers_need_a_launched_model(make_model):
    idle = ophel.Model(make_model("identity_int8"))
    assert idle.acquire_input_buffer([]) == [] and idle.acquire_output_buffer([]) == []
    for call in (lambda: idle.release_buffer([]), idle.infer_speedrun,
                 lambda: idle.infer_buffer([ophel.Buffer()], [ophel.Buffer()], [], 0)):
        with pytest.raises(ophel.OphelError, match="^Model_NotLaunched occurred."):
            call()


def test_variant_handles(accelerator, make_model):
    model = ophel.Model(make_model("two_variants"), config_of(cores=1))
    model.launch(accelerator)
    assert model.get_num_model_variants() == 2
    with pytest.raises(TypeError):
        ophel.ModelVariantHandle()
    for bad in (-1, 2):
        with pytest.raises(ophel.OphelError, match="^Model_InvalidVariantIdx occurred."):
            model.get_model_variant_handle(bad)
    handle = model.get_model_variant_handle(1)
    assert handle.get_variant_idx() == 1
    assert handle.get_model_input_shape() == handle.get_model_output_shape() == [(1, 1, 32)]
    assert [i.original_shape() for i in handle.get_input_buffer_info()] == [(1, 1, 32)]
    assert [i.original_shape() for i in handle.get_output_buffer_info()] == [(1, 1, 32)]
    assert len(handle.get_input_scale()) == len(handle.get_output_scale()) == 1
    x = values((1, 1, 32))
    ins, outs = handle.acquire_input_buffer([]), handle.acquire_output_buffer([])
    handle.reposition_inputs(input=[x], input_buf=ins)
    model.infer_buffer(ins, outs, [[1, 1, 1, 32]], 0)  # the shape picks variant 1: in - 1
    y = np.zeros(32, np.float32)
    handle.reposition_outputs(output_buf=outs, output=[y])
    np.testing.assert_array_equal(y, x.ravel() - 1)
    with pytest.raises(ValueError, match="one item of input 0 takes 32"):
        handle.reposition_inputs([values((1, 1, 16))], ins)
    handle.release_buffer(ins + outs)

    # The handle keeps its model; once disposed, the calls that need a launched model refuse.
    watch = weakref.ref(model)
    model.dispose()
    del model
    gc.collect()
    assert watch() is not None
    assert handle.get_model_input_shape() == [(1, 1, 32)] and handle.acquire_input_buffer([]) == []
    for call in (lambda: handle.release_buffer(ins), lambda: handle.reposition_inputs([x], ins),
                 lambda: handle.reposition_outputs(ins, [y])):
        with pytest.raises(ophel.OphelError, match="^Model_NotLaunched occurred."):
            call()
    del handle
    gc.collect()
    assert watch() is None
