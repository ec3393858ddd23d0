"""set_log_level and trace-event recording from Python."""
import json

import pytest

import ophel


def test_set_log_level_takes_only_log_levels():
    for level in ophel.LogLevel.__members__.values():
        assert ophel.set_log_level(level) is None
    ophel.set_log_level(ophel.LogLevel.INFO)
    for bad in (3, None, ophel.CacheType.Batch):
        with pytest.raises(TypeError):
            ophel.set_log_level(bad)


def test_tracing_writes_a_trace_event_file(tmp_path):
    path = tmp_path / "trace.json"
    assert ophel.start_tracing_events(str(path)) is True
    assert ophel.start_tracing_events(str(tmp_path / "other.json")) is True  # already recording
    ophel.stop_tracing_events()
    assert all({"name", "ph", "pid", "tid", "ts"} <= event.keys() for event in json.loads(path.read_text()))
    ophel.stop_tracing_events()  # stopping twice is harmless


def test_tracing_refuses_bad_paths(tmp_path):
    with pytest.raises(TypeError):
        ophel.start_tracing_events(None)
    with pytest.raises(ValueError):
        ophel.start_tracing_events(str(tmp_path / "a\0b.json"))
    assert ophel.start_tracing_events(str(tmp_path / "missing" / "trace.json")) is False
    ophel.stop_tracing_events()
