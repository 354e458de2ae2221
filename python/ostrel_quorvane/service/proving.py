"""The verifiable log over HTTP: the log's signed checkpoint, inclusion and consistency proofs,
and receipts for logged decisions. A checkpoint is signed at most once per size of the log: the
decisions logged meanwhile share the next one, so a receipt costs a proof read, not a
signature."""

from __future__ import annotations

import asyncio
import json

from starlette.requests import Request
from starlette.responses import JSONResponse, Response

from ostrel_quorvane.proof_commands import read_signing_key
from ostrel_quorvane.receipts import Receipt, proof_json, stated
from ostrel_quorvane.service.answers import Refused
from ostrel_quorvane.service.requests import LARGEST, SHOWN, whole_number
from ostrel_quorvane.service.state import ServiceState
from ostrel_quorvane.store import LogEntry, Store
from ostrel_quorvane.store.log import is_hex_digest

__all__ = ["Proving"]

NOTE_TYPE = "text/plain; charset=utf-8"


def _hex_hash(text: str | None, name: str) -> str:
    if text is None or not is_hex_digest(text):
        raise Refused(400, "malformed_input", "expected a content hash of 64 lower-case hex "
                      "digits", name)  # fmt: skip
    return text


def _size(request: Request, name: str) -> int | None:
    text = request.query_params.get(name)
    if text is None:
        return None
    size = whole_number(text, 0, LARGEST)
    if size is None:
        raise Refused(400, "malformed_input", "expected a number of entries", name)
    return size


class Proving:
    """Checkpoints signed with the service's key (when it has one), and proofs read from the
    store."""

    def __init__(self, state: ServiceState) -> None:
        self.state = state
        self._key: str | None = None
        if state.config.signing_key is not None:
            self._key = read_signing_key(state.config.signing_key)
        self._signing = asyncio.Lock()
        self._latest: tuple[int, str] | None = None  # (size, note) of the newest checkpoint

    async def _covering(self, size: int) -> str | None:
        """A signed checkpoint of at least ``size`` entries: the newest kept when it is large
        enough, else one signed now, of the log as it is then, which the callers waiting
        meanwhile share."""
        if self._latest is not None and self._latest[0] >= size:
            return self._latest[1]
        async with self._signing:
            if self._latest is not None and self._latest[0] >= size:
                return self._latest[1]
            note: str | None = await self.state.in_thread(lambda store: store.proofs.covering(size))
            if note is None and self._key is not None:
                key = self._key
                note = await self.state.in_thread(lambda store: store.proofs.sign(key))
            if note is not None:
                self._latest = (stated(note)[1], note)
            return note

    def can_sign(self) -> None:
        """Refuses a receipt when the service has no key to sign its checkpoint with."""
        if self._key is None:
            raise Refused(409, "no_signing_key", "receipts need the service to sign checkpoints "
                          "(serve --signing-key)", "receipt")  # fmt: skip

    async def receipt(self, entry: LogEntry) -> Receipt:
        """The receipt of a decision just logged, against the checkpoint that covers it."""
        self.can_sign()
        note = await self._covering(entry.sequence)
        assert note is not None
        return await self.state.in_thread(lambda store: store.proofs.receipt_for(entry, note))

    async def checkpoint(self, request: Request) -> Response:
        """The log's newest checkpoint: signed now when the service has a key and the log has
        grown since the last one."""
        size, _ = await self.state.in_thread(Store.head)
        note = await self._newest(size)
        if note is None:
            raise Refused(404, "no_checkpoint", "no checkpoint of the log is signed yet")
        return Response(note, media_type=NOTE_TYPE)

    async def inclusion(self, request: Request) -> Response:
        """The inclusion proof of a logged record in the log of ``size`` entries; without
        ``size``, a whole receipt against the newest checkpoint that holds it."""
        self.state.tokens.authorize(request)
        digest = _hex_hash(request.query_params.get("hash"), "hash")
        size = _size(request, "size")
        if size is None:
            return await self._receipt_for(digest)
        try:
            found = await self.state.in_thread(lambda store: store.proofs.inclusion(digest, size))
        except ValueError as error:
            raise Refused(400, "malformed_input", str(error), "size") from None
        if found is None:
            raise Refused(404, "decision_not_found", f"no decision {digest} is logged in the "
                          f"first {size} entries")  # fmt: skip
        return JSONResponse({"content_hash": digest, "leaf_index": found.leaf_index,
                             "tree_size": found.size,
                             "inclusion_proof": proof_json(found.proof)})  # fmt: skip

    async def _receipt_for(self, digest: str) -> Response:
        entry = await self.state.in_thread(Store.find, digest)
        if entry is None:
            raise Refused(404, "decision_not_found", f"no decision {digest[:SHOWN]} is logged")
        note = await self._covering(entry.sequence)
        if note is None:
            raise Refused(404, "no_checkpoint", f"no checkpoint holds entry {entry.sequence} "
                          "yet: ask with size, or sign one")  # fmt: skip
        receipt = await self.state.in_thread(lambda store: store.proofs.receipt_for(entry, note))
        return Response(json.dumps(receipt.as_json()), media_type="application/json")

    async def consistency(self, request: Request) -> Response:
        """The consistency proof from the log of ``from`` entries to that of ``to``; without
        ``to``, to the newest checkpoint, which the answer carries so that the proof is checked
        against the very checkpoint it was made for."""
        old = _size(request, "from")
        if old is None:
            raise Refused(400, "malformed_input", "expected the older size of the log", "from")
        new = _size(request, "to")
        note = None
        if new is None:
            size, _ = await self.state.in_thread(Store.head)
            note = await self._newest(size)
            if note is None:
                raise Refused(404, "no_checkpoint", "no checkpoint of the log is signed yet")
            new = stated(note)[1]
        target = new
        try:
            size, proof = await self.state.in_thread(
                lambda store: store.proofs.consistency(old, target)
            )
        except ValueError as error:
            raise Refused(400, "malformed_input", str(error), "from" if note else "to") from None
        answer = {"from": old, "to": size, "consistency_proof": proof_json(proof)}
        if note is not None:
            answer["checkpoint"] = note
        return JSONResponse(answer)

    async def _newest(self, size: int) -> str | None:
        """The checkpoint of the log as it is (signed now when the service has a key and the
        log has grown), else the newest kept."""
        if self._key is not None:
            return await self._covering(size)
        note: str | None = await self.state.in_thread(lambda store: store.proofs.latest())
        return note
