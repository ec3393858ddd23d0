"""The key-value cache of a sequence model from Python: dump and load as arrays, buffer objects
and files, reset, and the tail rearrangements."""
import os

import numpy as np
import pytest

import ophel
from conftest import config_of, values


@pytest.fixture
def sequence(launch):
    model = launch("sequence_cache", config_of(cores=1))
    # Three tokens with a cache of two mark the first 5 of the 32 cache bytes with 0x5A.
    model.reset_cache_memory()
    model.infer([values((3, 1, 16))], cache_size=2)
    return model


def marked(n, value=0x5A):
    area = np.zeros(32, np.int8)
    area[:n] = value
    return area


def test_dump_reset_and_load_restore_the_bytes(sequence, tmp_path):
    [info] = sequence.get_cache_infos()
    assert (info.name, info.cache_type, info.size) == ("kv_0", ophel.CacheType.Default, 32)
    dumped = sequence.dump_cache_memory()
    assert [a.dtype for a in dumped] == [np.int8]
    np.testing.assert_array_equal(dumped[0], marked(5))
    sequence.reset_cache_memory()
    np.testing.assert_array_equal(sequence.dump_cache_memory()[0], marked(0))
    sequence.load_cache_memory(dumped)
    np.testing.assert_array_equal(sequence.dump_cache_memory()[0], marked(5))

    sequence.dump_cache_memory(str(tmp_path))
    file = tmp_path / f"cache_{info.layer_hash}.bin"
    assert file.read_bytes() == marked(5).tobytes()
    sequence.reset_cache_memory()
    sequence.load_cache_memory(str(tmp_path))
    np.testing.assert_array_equal(sequence.dump_cache_memory()[0], marked(5))
    with pytest.raises(ophel.OphelError, match="^Model_FailedToFindDirectory occurred."):
        sequence.load_cache_memory(str(tmp_path / "missing"))


def test_load_takes_every_byte_of_any_buffer_in_c_order(sequence, capfd):
    pattern = np.arange(32, dtype=np.int8)
    sources = {
        "bytes": (bytes(pattern), pattern),
        "bytearray": (bytearray(pattern), pattern),
        "float32 of 8": (pattern.view(np.float32), pattern),
        "transposed": (pattern.reshape(4, 8).T, pattern.reshape(4, 8).T.ravel()),
        "stepped": (np.arange(64, dtype=np.int8)[::2], np.arange(0, 64, 2, dtype=np.int8)),
        "memoryview": (memoryview(pattern[::-1]), pattern[::-1]),
    }
    for name, (source, want) in sources.items():
        sequence.load_cache_memory([source])
        np.testing.assert_array_equal(sequence.dump_cache_memory()[0], want, err_msg=name)
    # A float32 array of 4 elements is 16 bytes, not 4.
    capfd.readouterr()
    with pytest.raises(ophel.OphelError, match="^Model_BufferSizeMismatched occurred."):
        sequence.load_cache_memory([np.zeros(4, np.float32)])
    assert "(expected: 32, actual: 16)" in capfd.readouterr().out
    with pytest.raises(ophel.OphelError, match="^Model_NumCacheMismatched occurred."):
        sequence.load_cache_memory([pattern, pattern])
    with pytest.raises(TypeError):
        sequence.load_cache_memory(["0123"])


def test_tail_rearrangements(sequence):
    # The rearrangement program marks the tail positions it was handed with 0x7E.
    assert sequence.filter_cache_tail(5, 3, [True, False, True]) == 4
    want = marked(5)
    want[:3] = 0x7E
    np.testing.assert_array_equal(sequence.dump_cache_memory()[0], want)
    assert sequence.move_cache_tail(2, 3, 5) == 5
    with pytest.raises(ophel.OphelError, match="^Model_CacheOverflow occurred."):
        sequence.filter_cache_tail(33, 1, [True])
    with pytest.raises(TypeError):
        sequence.filter_cache_tail(5, 1, True)


def test_cache_calls_on_a_model_without_cache(launch, tmp_path):
    plain = launch("identity_int8", config_of(cores=1))
    assert plain.get_cache_infos() == []
    plain.reset_cache_memory()  # logged, not raised
    for call in (plain.dump_cache_memory, lambda: plain.dump_cache_memory(str(tmp_path)),
                 lambda: plain.load_cache_memory([b""])):
        with pytest.raises(ophel.OphelError, match="^Model_NoCache occurred."):
            call()
    assert os.listdir(tmp_path) == []
