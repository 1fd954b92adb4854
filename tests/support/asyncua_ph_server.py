"""An independent OPC UA server for the tests: asyncua's, serving the same nodes as ph_meter_sim.

    python asyncua_ph_server.py --port N [--ph VALUE] [--temperature VALUE] [--edge-case-nodes]

Listens on 127.0.0.1 with the endpoint path "/DezedarIzIvovod", prints one line saying where,
and runs until SIGINT or SIGTERM.
"""

import argparse
import asyncio
import logging
import signal

from asyncua import Server, ua

NAMESPACE_URI = "urn:tarnwell:asyncua-ph-server"


async def add_variable(parent, name, value, variant_type):
    node_id = ua.NodeId(f"RivevorOrAdori01.{name}", 2)
    return await parent.add_variable(node_id, ua.QualifiedName(name, 2),
                                     ua.Variant(value, variant_type))


async def serve(options):
    server = Server()
    await server.init()
    endpoint = f"opc.tcp://127.0.0.1:{options.port}/DezedarIzIvovod"
    server.set_endpoint(endpoint)
    server.set_security_policy([ua.SecurityPolicyType.NoSecurity])
    namespace_index = await server.register_namespace(NAMESPACE_URI)
    if namespace_index != 2:
        raise SystemExit(f"asyncua_ph_server: namespace index {namespace_index}, expected 2")

    meter = await server.nodes.objects.add_object(ua.NodeId("RivevorOrAdori01", 2),
                                                  ua.QualifiedName("RivevorOrAdori01", 2))
    await add_variable(meter, "pH", options.ph, ua.VariantType.Double)
    await add_variable(meter, "temperature", options.temperature, ua.VariantType.Double)
    if options.edge_case_nodes:
        await add_variable(meter, "phFloat", 7.25, ua.VariantType.Float)
        await add_variable(meter, "temperatureInt32", 25, ua.VariantType.Int32)
        await add_variable(meter, "phArray", [7.0, 7.1], ua.VariantType.Double)

    stop = asyncio.Event()
    loop = asyncio.get_running_loop()
    for signal_number in (signal.SIGINT, signal.SIGTERM):
        loop.add_signal_handler(signal_number, stop.set)
    async with server:
        print(f"asyncua_ph_server: listening on {endpoint}", flush=True)
        await stop.wait()


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--port", type=int, required=True)
    parser.add_argument("--ph", type=float, default=7.0)
    parser.add_argument("--temperature", type=float, default=25.0)
    parser.add_argument("--edge-case-nodes", action="store_true")
    # asyncua reports its own warnings through logging; the tests read stdout only for the line.
    logging.basicConfig(level=logging.ERROR)
    asyncio.run(serve(parser.parse_args()))


if __name__ == "__main__":
    main()
