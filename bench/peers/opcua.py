"""The pH source with asyncua: connect, read pH and temperature, disconnect, on one event loop
kept for the whole process."""

import asyncio

from asyncua import Client

PH_NODE = "ns=2;s=RivevorOrAdori01.pH"
TEMPERATURE_NODE = "ns=2;s=RivevorOrAdori01.temperature"

_loop = asyncio.new_event_loop()


async def _read(endpoint):
    client = Client(endpoint)
    await client.connect()
    try:
        ph = await client.get_node(PH_NODE).read_value()
        temperature = await client.get_node(TEMPERATURE_NODE).read_value()
    finally:
        await client.disconnect()
    return ph, temperature


def opcua_ph_source(payload):
    ph, temperature = _loop.run_until_complete(_read(payload["endpoint"]))
    payload["opcua_sample"] = {"pH": float(ph), "temperature": float(temperature),
                               "timestamp": None}
    payload["values"] = [*payload.get("values", ()), float(ph)]
