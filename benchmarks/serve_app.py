"""The service with one more route, for benchmarks/serve.py only: a trivial JSON echo, the
baseline the HTTP layer alone costs."""

from ostrel_quorvane.service.app import app_from_environment
from starlette.requests import Request
from starlette.responses import Response


async def echo(request: Request) -> Response:
    return Response(await request.body(), media_type="application/json")


def create():
    app = app_from_environment()
    app.add_route("/v1/echo", echo, methods=["POST"])
    return app
