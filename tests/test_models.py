"""The Preview and Snapshot models over the engine's documents, and field trees as plain values."""

from __future__ import annotations

import base64
import datetime
import decimal
from unittest import mock

import pytest

from quenlo.sdk.simulator.documents import make_field, make_record, stage_output
from quenlo.sdk.velm_models import Preview, Record, Snapshot, field_value


def typed(kind, value, path=""):
    return {"type": kind, "value": value, "path": path}


UTC = datetime.timezone.utc


@pytest.mark.parametrize(
    ("field", "expected"),
    [
        (typed("integer", "9007199254740993"), 9007199254740993),
        (typed("integer", 7), 7),
        (typed("float", "1.5"), 1.5),
        (typed("decimal", 1.10), decimal.Decimal("1.1")),
        (typed("decimal", "1.10"), decimal.Decimal("1.10")),
        (typed("boolean", "true"), True),
        (typed("boolean", False), False),
        (typed("time", 86_400_000), datetime.datetime(1970, 1, 2, tzinfo=UTC)),
        (typed("zoned", "2024-05-01T10:00:00Z"), datetime.datetime(2024, 5, 1, 10, tzinfo=UTC)),
        (typed("zoned", "not a time"), "not a time"),
        (typed("bytes", base64.b64encode(b"\x00\xff").decode()), b"\x00\xff"),
        (typed("text", 12), "12"),
        (typed("integer", None), None),
        (typed("something-new", {"raw": 1}), {"raw": 1}),
        ({"not": "a field"}, {"not": "a field"}),
        (typed("list", [typed("map", {"a": typed("integer", 1)}), typed("text", None)]), [{"a": 1}, None]),
    ],
)
def test_field_value(field, expected):
    value = field_value(field)
    assert value == expected and type(value) is type(expected)


def test_fields_made_by_the_simulator_come_back_as_they_went_in():
    values = {"id": 1, "odd key": [1.5, True, None], "nested": {"s": "t"}}
    field = make_field(values)
    assert field_value(field) == values and list(field_value(field)) == ["id", "odd key", "nested"]
    assert field["value"]["odd key"]["value"][0]["path"] == "/'odd key'[0]"


def preview_document():
    record = make_record({"id": 1}, "src::0", "Origin")
    other = make_record({"id": 2}, "src::1", "Origin")
    batch = [
        stage_output("Origin", {"lane1": [record], "lane2": [other]}),
        stage_output("Sink", {}),
    ]
    batch[1]["errors"] = [other]
    return {
        "status": "FINISHED",
        "batches": [batch, [stage_output("Origin", {"lane1": [other], "lane2": []})]],
        "issues": {"pipeline": [{"message": "p1"}], "stages": {"Sink": [{"message": "s1"}]}},
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

    @pytest.mark.parametrize("document", [None, {}, {"status": "VALID", "batches": None, "issues": None}])
    def test_documents_without_output(self, document):
        preview = Preview("p", "x", document)
        assert (preview.batches, preview.stage_names, preview.issues.count, list(preview.issues)) == ([], [], 0, [])

    def test_record_keeps_header_and_raw_tree(self):
        record = Record(make_record({"id": 1}, "src::0", "Origin"))
        assert record.header["stage"] == "Origin" and record.field["type"] == "map"
        assert record.get("missing", "d") == "d" and repr(record) == "<Record id='src::0' value={'id': 1}>"


class TestSnapshot:
    def test_reads_status_and_batches(self):
        document = {
            "snapshot": "s",
            "label": "l",
            "pipelineId": "p",
            "inProgress": False,
            "created": 0,
            "batches": [[stage_output("Origin", {"lane": [make_record({"id": 5}, "a", "Origin")]})]],
        }
        snapshot = Snapshot(api_client=None, snapshot=document)
        assert (snapshot.name, snapshot.pipeline_id, snapshot.label) == ("s", "p", "l")
        assert snapshot.captured_at == datetime.datetime(1970, 1, 1, tzinfo=UTC)
        assert [r.value for r in snapshot.records("Origin")] == [{"id": 5}]
        assert repr(snapshot) == "<Snapshot pipeline='p' name='s' label='l' in_progress=False batches=1>"

    def test_delete_goes_through_its_client(self):
        client = mock.Mock()
        assert Snapshot(client, {"snapshot": "s", "pipelineId": "p"}).delete() is client.delete_snapshot.return_value
        client.delete_snapshot.assert_called_once_with("p", "s")
