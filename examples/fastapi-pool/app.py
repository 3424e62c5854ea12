"""A web service that answers from a pool of open device connections:
``GET /devices/{name}/version`` gives what ``show version`` prints on the
device ``name``, over its connection, opened once and kept open.

The devices come from a JSON file, ``{"name": {Connection's keyword
arguments}, ...}``, named by $TARVIX_DEVICES::

    pip install "tarvix[aio,ssh]" fastapi uvicorn
    TARVIX_DEVICES=devices.json uvicorn --factory app:create_app

Every connection opens as the service starts (at most 50 at once); one
that fails then, or that a device closed since, is opened again by the
next request for its device.  They close as the service stops.
"""
import asyncio
import contextlib
import json
import os

from fastapi import FastAPI, HTTPException

from tarvix.aio import AsyncConnection, gather_devices
from tarvix.core.errors import TarvixError

# Seconds a request waits for the device's answer.
COMMAND_TIMEOUT = 20


class Pool(object):
    """The devices' open connections, by name."""

    def __init__(self, devices):
        self.devices = devices
        self.connections = {}
        self._opening = {}

    async def open_all(self):
        connections = [AsyncConnection(**dict(arguments, name=name)) for name, arguments in self.devices.items()]
        self.connections = dict((con.name, con) for con in connections)
        await gather_devices(connections, lambda con: asyncio.sleep(0), limit=50)

    async def get(self, name):
        """The connection of the device ``name``, connected."""
        arguments = self.devices[name]
        lock = self._opening.setdefault(name, asyncio.Lock())
        async with lock:
            con = self.connections.get(name)
            if con is None:
                con = self.connections[name] = AsyncConnection(**dict(arguments, name=name))
            if not con.connected:
                await con.connect()
            return con

    async def close(self):
        await asyncio.gather(*[con.aclose() for con in self.connections.values()], return_exceptions=True)


def create_app(devices=None):
    """The service for ``devices`` ({name: Connection's keyword arguments};
    None: the file $TARVIX_DEVICES names)."""
    if devices is None:
        with open(os.environ["TARVIX_DEVICES"]) as handle:
            devices = json.load(handle)
    pool = Pool(devices)

    @contextlib.asynccontextmanager
    async def lifespan(app):
        await pool.open_all()
        try:
            yield
        finally:
            await pool.close()

    app = FastAPI(title="device versions", lifespan=lifespan)

    @app.get("/devices/{name}/version")
    async def version(name: str):
        if name not in pool.devices:
            raise HTTPException(status_code=404, detail="no device %s" % name)
        try:
            con = await pool.get(name)
            output = await con.execute("show version", timeout=COMMAND_TIMEOUT)
        except TarvixError as error:
            raise HTTPException(status_code=502, detail=str(error))
        return {"device": name, "version": output}

    return app
