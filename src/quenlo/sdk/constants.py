"""Constants shared by the VELM client and its callers."""

#: Pass as ``authentication_method`` to ``ApiClient`` to send HTTP basic credentials with every request.
ENGINE_AUTHENTICATION_METHOD_FORM = "form"

#: Authentication method for an engine that asks for no credentials.
ENGINE_AUTHENTICATION_METHOD_NONE = "none"
