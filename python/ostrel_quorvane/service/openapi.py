"""The service's API, described for clients and their generators: ``openapi.json`` beside this
module, served at ``/v1/openapi.json``."""

import json
from pathlib import Path
from typing import Any

OPENAPI: dict[str, Any] = json.loads(Path(__file__).with_name("openapi.json").read_text())
