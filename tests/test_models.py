"""The Preview and Snapshot models over the engine's documents, and field trees as plain values."""

from __future__ import annotations

import base64
import datetime
import decimal
from unittest import mock

import pytest

from quenlo.sdk.simulator.previews import make_field, make_record, stage_output
from quenlo.sdk.velm_models import Preview, Record, Snapshot, field_value


def typed(kind, value, path=""):
    return {"type": kind, "value": value, "sqpath": path, "dqpath": path}


UTC = datetime.timezone.utc


@pytest.mark.parametrize(
    ("field", "expected"),
    [
        (typed("LONG", "9007199254740993"), 9007199254740993),
        (typed("INTEGER", 7), 7),
        (typed("DOUBLE", "1.5"), 1.5),
        (typed("DECIMAL", 1.10), decimal.Decimal("1.1")),
        (typed("DECIMAL", "1.10"), decimal.Decimal("1.10")),
        (typed("BOOLEAN", "true"), True),
        (typed("BOOLEAN", False), False),
        (typed("DATETIME", 86_400_000), datetime.datetime(1970, 1, 2, tzinfo=UTC)),
        (typed("ZONED_DATETIME", "2024-05-01T10:00:00Z[UTC]"), datetime.datetime(2024, 5, 1, 10, tzinfo=UTC)),
        (typed("BYTE_ARRAY", base64.b64encode(b"\x00\xff").decode()), b"\x00\xff"),
        (typed("CHAR", "x"), "x"),
        (typed("LONG", None), None),
        (typed("SOMETHING_NEW", {"raw": 1}), {"raw": 1}),
        ({"not": "a field"}, {"not": "a field"}),
        (
            typed("LIST", [typed("MAP", {"a": typed("INTEGER", 1)}), typed("STRING", None)]),
            [{"a": 1}, None],
        ),
        (
            typed(
                "LIST_MAP",
                [typed("STRING", "x", "/b"), typed("INTEGER", 2, "/'a b'"), typed("INTEGER", 3, "/'it\\'s'")],
            ),
            {"b": "x", "a b": 2, "it's": 3},
        ),
    ],
)
def test_field_value(field, expected):
    value = field_value(field)
    assert value == expected and type(value) is type(expected)


def test_field_trees_made_by_the_simulator_come_back_as_they_went_in():
    values = {"id": 1, "odd key": [1.5, True, None], "nested": {"s": "t"}}
    assert field_value(make_field(values)) == values
    assert list(field_value(typed("LIST_MAP", make_field(values)["value"]))) == ["id", "odd key", "nested"]


def preview_document():
    record = make_record({"id": 1}, "src::0", "Origin")
    other = make_record({"id": 2}, "src::1", "Origin")
    batch = [
        stage_output("Origin", {"lane1": [record], "lane2": [other]}),
        stage_output("Sink", {}),
    ]
    batch[1]["errorRecords"] = [other]
    return {
        "status": "FINISHED",
        "batchesOutput": [batch, [stage_output("Origin", {"lane1": [other], "lane2": []})]],
        "issues": {"pipelineIssues": [{"message": "p1"}], "stageIssues": {"Sink": [{"message": "s1"}]}},
        "message": "done",
    }


class TestPreview:
    def test_reads_batches_records_and_issues(self):
        preview = Preview(pipeline_id="p", previewer_id="x", preview=preview_document())
        assert (preview.status, preview.message, preview.stage_names) == ("FINISHED", "done", ["Origin", "Sink"])
        assert [r["id"] for r in preview.records("Origin")] == [1, 2, 2]
        assert [r["id"] for r in preview.records("Origin", lane="lane2")] == [2]
        assert {name: len(records) for name, records in preview.records_by_stage.items()} == {"Origin": 3, "Sink": 0}
        sink = preview.batches[0]["Sink"]
        assert [r.get("id") for r in sink.error_records] == [2] and sink.records == []
        assert preview.records("Nowhere") == []
        assert (len(preview.issues), preview.issues.messages) == (2, ["p1", "s1"])
        assert repr(preview) == "<Preview pipeline='p' previewer='x' status='FINISHED' batches=2 stages=2 issues=2>"

    @pytest.mark.parametrize("document", [None, {}, {"status": "VALID", "batchesOutput": None, "issues": None}])
    def test_documents_without_output(self, document):
        preview = Preview("p", "x", document)
        assert (preview.batches, preview.stage_names, preview.issues.count, list(preview.issues)) == ([], [], 0, [])

    def test_record_keeps_header_and_raw_tree(self):
        record = Record(make_record({"id": 1}, "src::0", "Origin"))
        assert record.header["stageCreator"] == "Origin" and record.field["type"] == "MAP"
        assert record.get("missing", "d") == "d" and repr(record) == "<Record source='src::0' value={'id': 1}>"


class TestSnapshot:
    def test_reads_status_and_batches(self):
        document = {
            "id": "s",
            "label": "l",
            "name": "p",
            "inProgress": False,
            "timeStamp": 0,
            "snapshotBatches": [[stage_output("Origin", {"lane": [make_record({"id": 5}, "a", "Origin")]})]],
        }
        snapshot = Snapshot(api_client=None, snapshot=document)
        assert (snapshot.name, snapshot.pipeline_id, snapshot.label) == ("s", "p", "l")
        assert snapshot.captured_at == datetime.datetime(1970, 1, 1, tzinfo=UTC)
        assert [r.value for r in snapshot.records("Origin")] == [{"id": 5}]
        assert repr(snapshot) == "<Snapshot pipeline='p' name='s' label='l' in_progress=False batches=1>"

    def test_delete_goes_through_its_client(self):
        client = mock.Mock()
        assert Snapshot(client, {"id": "s", "pipelineId": "p"}).delete() is client.delete_snapshot.return_value
        client.delete_snapshot.assert_called_once_with("p", "s")
