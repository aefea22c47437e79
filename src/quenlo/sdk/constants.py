"""Constants shared by the VELM client and its callers."""

from typing import Dict

#: Pass as ``authentication_method`` to ``ApiClient`` to send HTTP basic credentials with every request.
ENGINE_AUTHENTICATION_METHOD_FORM = "form"

#: Authentication method for an engine that asks for no credentials.
ENGINE_AUTHENTICATION_METHOD_NONE = "none"

#: Headers sent with every request; an entry of ``ApiClient(headers=...)`` replaces the one of the same name.
REQUIRED_HEADERS: Dict[str, str] = {"X-Requested-By": "velm", "content-type": "application/json"}

#: The REST API version in every path unless ``ApiClient(api_version=...)`` says otherwise.
DEFAULT_VELM_API_VERSION = 1
