"""The companion modules the client leans on: utils helpers, HTTP error classes and model encoding."""

from __future__ import annotations

import json
import pickle
from unittest import mock

import pytest
import requests

from quenlo.sdk import velm_models
from quenlo.sdk.exceptions import BadRequestError, InternalServerError, redact_url
from quenlo.sdk.utils import Version, get_params, join_url_parts, pipeline_json_encoder, wait_for_condition


class TestJoinUrlParts:
    @pytest.mark.parametrize(
        ("parts", "url"),
        [
            (("http://h:1", "/rest", "/v1/system/info"), "http://h:1/rest/v1/system/info"),
            (("http://h:1/", "/rest", "/v1/x"), "http://h:1/rest/v1/x"),
            (("http://h:1/base", "rest", "v1/x/"), "http://h:1/base/rest/v1/x/"),
            (("http://h:1//", "//rest//", "/v1"), "http://h:1/rest/v1"),
            (("http://h:1", "", "/v1"), "http://h:1/v1"),
        ],
    )
    def test_exactly_one_slash_between_parts(self, parts, url):
        assert join_url_parts(*parts) == url


class TestGetParams:
    @pytest.mark.parametrize("exclusions", ["self", ("self",)])
    def test_exclusions_as_text_or_tuple(self, exclusions):
        assert get_params(parameters={"self": object(), "rev": 0}, exclusions=exclusions) == {"rev": 0}

    def test_names_values_and_order(self):
        params = get_params(
            parameters={
                "self": object(),
                "pipeline_id": "p",
                "only_if_exists": None,
                "include_library_definitions": False,
                "len_": 10,
                "rev": 0,
                "labels": ["a", "b"],
            },
            exclusions=("self", "pipeline_id"),
        )
        assert list(params.items()) == [
            ("includeLibraryDefinitions", False),
            ("len", 10),
            ("rev", 0),
            ("labels", ["a", "b"]),
        ]

    def test_model_travels_as_its_id(self):
        pipeline = velm_models.Pipeline({"definition": {"pipelineId": "p1"}})
        assert get_params(parameters={"self": None, "pipeline": pipeline}, exclusions="self") == {"pipeline": "p1"}


class TestVersion:
    @pytest.mark.parametrize(
        ("older", "newer"),
        [("2.4.9.9", "2.5.0.0"), ("2.5", "2.5.0.1"), ("9.9", "10.0"), ("3.0.0-SNAPSHOT", "3.0.1"), ("1", "1.0.0.1")],
    )
    def test_ordering(self, older, newer):
        assert Version(older) < Version(newer)
        assert not Version(newer) < Version(older)
        assert Version(newer) > Version(older) and Version(older) <= Version(newer)

    @pytest.mark.parametrize(("a", "b"), [("2.5.0.0", "2.5"), ("3.0.0-SNAPSHOT", "3.0"), ("4.1-rc1", "4.1.0")])
    def test_equal_versions(self, a, b):
        assert Version(a) == Version(b) and hash(Version(a)) == hash(Version(b))
        assert not Version(a) < Version(b) and not Version(b) < Version(a)

    def test_text_form_is_kept(self):
        assert str(Version("5.6.0-SNAPSHOT")) == "5.6.0-SNAPSHOT"


class TestWaitForCondition:
    def test_tries_at_once_and_returns_the_true_value(self, clock):
        condition = mock.Mock(return_value={"ok": 1})
        assert wait_for_condition(condition, ["a", 2]) == {"ok": 1}
        condition.assert_called_once_with("a", 2)
        assert clock.sleeps == []

    def test_paces_tries_by_the_interval(self, clock):
        condition = mock.Mock(side_effect=[None, False, 0, True])
        assert wait_for_condition(condition, [], timeout=60, interval=2.5) is True
        assert clock.sleeps == [2.5, 2.5, 2.5]

    def test_time_out_names_the_condition(self, clock):
        def engine_is_up() -> bool:
            return False

        with pytest.raises(TimeoutError, match="engine_is_up"):
            wait_for_condition(engine_is_up, [], timeout=3)
        assert clock.sleeps == [1, 1, 1]

    def test_defaults_are_a_minute_once_a_second(self, clock):
        with pytest.raises(TimeoutError):
            wait_for_condition(lambda: None, [])
        assert clock.sleeps == [1] * 60

    def test_the_last_pause_ends_at_the_deadline_with_one_more_try(self, clock):
        condition = mock.Mock(return_value=None)
        with pytest.raises(TimeoutError, match="within 2.5 seconds"):
            wait_for_condition(condition, [], timeout=2.5)
        assert clock.sleeps == [1, 1, 0.5] and condition.call_count == 4

    def test_exceptions_of_the_condition_propagate(self, clock):
        with pytest.raises(KeyError):
            wait_for_condition(mock.Mock(side_effect=KeyError("version")), [])


class TestPipelineJsonEncoder:
    def test_models_encode_as_their_document(self):
        document = {"definition": {"pipelineId": "p1", "stages": []}}
        preview = velm_models.Preview(pipeline_id="p", previewer_id="v", preview={"status": "FINISHED"})
        text = json.dumps({"p": velm_models.Pipeline(document), "v": preview}, default=pipeline_json_encoder)
        assert json.loads(text) == {"p": document, "v": {"status": "FINISHED"}}

    @pytest.mark.parametrize("value", [object(), {1, 2}, b"bytes"])
    def test_anything_else_is_a_type_error(self, value):
        with pytest.raises(TypeError):
            pipeline_json_encoder(value)


def engine_response(status: int, body: bytes = b"", url: str = "http://h:1/rest/v1/x") -> requests.Response:
    response = requests.Response()
    response.status_code = status
    response.reason = {400: "Bad Request", 500: "Internal Server Error"}[status]
    response._content = body
    response.url = url
    response.request = requests.Request("POST", url).prepare()
    return response


class TestHttpErrors:
    @pytest.mark.parametrize(("cls", "status"), [(BadRequestError, 400), (InternalServerError, 500)])
    def test_keep_the_response_and_describe_the_request(self, cls, status):
        response = engine_response(status, b'{"message": "no such stage"}')
        error = cls(response)
        assert isinstance(error, requests.HTTPError)
        assert error.response is response and error.status_code == status
        text = str(error)
        assert text.startswith(f"{status} {response.reason} for POST http://h:1/rest/v1/x")
        assert "no such stage" in text

    def test_long_engine_text_is_cut(self):
        text = str(BadRequestError(engine_response(400, b"x" * 5000)))
        assert len(text) < 700 and text.endswith("...")

    @pytest.mark.parametrize("cls", [BadRequestError, InternalServerError])
    def test_pickling_keeps_message_and_status(self, cls):
        error = cls(engine_response(400 if cls is BadRequestError else 500, b"boom"))
        clone = pickle.loads(pickle.dumps(error))
        assert type(clone) is cls
        assert (str(clone), clone.status_code) == (str(error), error.status_code)

    @pytest.mark.parametrize(
        ("url", "redacted"),
        [
            ("http://user:secret@h:1/rest", "http://***@h:1/rest"),
            ("https://user:p@ss@h/x?next=a@b", "https://***@h/x?next=a@b"),
            ("http://h:1/rest/v1/a@b", "http://h:1/rest/v1/a@b"),
        ],
    )
    def test_credentials_in_urls_are_redacted(self, url, redacted):
        assert redact_url(url) == redacted
        assert redacted in str(BadRequestError(engine_response(400, url=url)))


class TestCheaperCompanions:
    """get_params and join_url_parts run on every call; their shortcuts must not change what they return."""

    @pytest.mark.parametrize(
        "exclusions", ["rev", ("rev",), ["rev"], {"rev"}, frozenset({"rev"}), (name for name in ["rev"])]
    )
    def test_exclusions_of_any_iterable_kind(self, exclusions):
        assert get_params(parameters={"rev": 0, "only_if_exists": True}, exclusions=exclusions) == {
            "onlyIfExists": True
        }

    def test_names_past_the_cache_are_still_spelled(self):
        names = {f"name_{index}_x": index for index in range(3000)}
        assert get_params(parameters=names) == {f"name{index}X": index for index in range(3000)}

    @pytest.mark.parametrize(
        ("value", "sent"),
        [(True, True), (0, 0), (1.5, 1.5), ("", ""), (b"b", b"b"), ((1,), (1,)), ([], [])],
    )
    def test_plain_values_travel_as_they_are(self, value, sent):
        assert get_params(parameters={"v": value})["v"] == sent

    def test_a_value_with_an_id_travels_as_the_id_unless_it_is_plain(self):
        class WithId:
            id = "i1"

        class TextWithId(str):
            id = "not this"

        assert get_params(parameters={"a": WithId(), "b": TextWithId("kept")}) == {"a": "i1", "b": "kept"}

    def test_parts_that_are_not_plain_text_go_through_str(self):
        class Shown(str):
            def __str__(self) -> str:
                return "http://shown/"

        assert join_url_parts(Shown("http://hidden"), "/rest", 7, "") == "http://shown/rest/7"
