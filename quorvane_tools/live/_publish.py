"""Publishing: each record sent on as it is written (UDP datagrams, MQTT)."""

from __future__ import annotations

import os
import socket
import sys
import threading
from urllib.parse import parse_qs, urlsplit

from ._errors import LiveError, _why


class _UdpPublisher:
    def __init__(self, url: str, host: str, port: int):
        self.url = url
        try:
            family, kind, proto, _, addr = socket.getaddrinfo(host, port, type=socket.SOCK_DGRAM)[0]
        except socket.gaierror as e:
            raise LiveError(f"--publish {url}: cannot resolve {host} ({_why(e)})") from None
        self.sock = socket.socket(family, kind, proto)
        self.addr = addr
        self.too_big = False

    def send(self, data: bytes) -> None:
        try:
            self.sock.sendto(data, self.addr)
        except OSError as e:
            if getattr(e, "errno", None) == 90 and not self.too_big:  # EMSGSIZE
                self.too_big = True
                print(f"quorvane live: warning: --publish {self.url}: a record of {len(data)} bytes "
                      "is too large for one datagram; such records are not sent", file=sys.stderr)
            # Nobody listening, a full buffer: datagrams are fire and forget.

    def close(self) -> None:
        self.sock.close()


class _MqttPublisher:
    def __init__(self, url: str, host: str, port: int, topic: str, qos: int, retain: bool,
                 timeout: float = 5.0):
        try:
            import paho.mqtt.client as mqtt
        except ImportError:
            raise LiveError("--publish mqtt:// needs paho-mqtt: python3 -m pip install 'quorvane[live]'") from None
        self.url, self.topic, self.qos, self.retain = url, topic, qos, retain
        self.lost_said = False
        connected = threading.Event()
        self.refused = None

        def on_connect(client, userdata, flags, reason, properties=None):
            if getattr(reason, "is_failure", False):
                self.refused = str(reason)
            elif self.lost_said:
                print(f"quorvane live: --publish {url}: connected again", file=sys.stderr)
                self.lost_said = False
            connected.set()

        def on_disconnect(client, userdata, flags, reason, properties=None):
            if not self.closing and not self.lost_said:
                self.lost_said = True
                print(f"quorvane live: --publish {url}: broker connection lost ({reason}); "
                      "reconnecting, records are not published meanwhile", file=sys.stderr)

        self.closing = False
        self.client = mqtt.Client(mqtt.CallbackAPIVersion.VERSION2, client_id=f"quorvane-live-{os.getpid()}")
        self.client.on_connect = on_connect
        self.client.on_disconnect = on_disconnect
        self.client.max_queued_messages_set(256)  # bounded memory while the broker is slow
        self.client.reconnect_delay_set(1, 10)
        try:
            self.client.connect(host, port, keepalive=30)
        except (OSError, ValueError) as e:
            raise LiveError(f"--publish {url}: cannot reach the MQTT broker at {host}:{port} ({_why(e)})") from None
        self.client.loop_start()
        if not connected.wait(timeout) or self.refused:
            self.close()
            raise LiveError(f"--publish {url}: the broker at {host}:{port} did not accept the connection"
                            + (f" ({self.refused})" if self.refused else f" within {timeout:g} s"))

    def send(self, data: bytes) -> None:
        self.client.publish(self.topic, data, qos=self.qos, retain=self.retain)

    def close(self) -> None:
        self.closing = True
        try:
            self.client.disconnect()
        finally:
            self.client.loop_stop()


def open_publisher(url: str):
    """A publisher that sends each record on as it is written.

    Parameters
    ----------
    url : str
        ``udp://HOST:PORT`` (one datagram per record) or
        ``mqtt://HOST[:PORT]/TOPIC[?qos=0|1|2&retain=0|1]`` (paho-mqtt, default port 1883; the
        broker must accept the connection within 5 s).

    Returns
    -------
    publisher
        ``send(data: bytes)`` publishes one record, ``close()`` lets go of the socket or the
        broker. A UDP datagram nobody takes is lost; a record too large for one is not sent
        (said once on standard error).

    Raises
    ------
    LiveError
        For a URL that names no target, a host that does not resolve, or a broker that cannot
        be reached or refuses the connection.

    Examples
    --------
    >>> from quorvane_tools.live import open_publisher
    >>> pub = open_publisher("udp://127.0.0.1:9")
    >>> pub.send(b'{"frame": 0}')
    >>> pub.close()
    """
    parts = urlsplit(url)
    scheme = parts.scheme.lower()
    try:
        port = parts.port
    except ValueError:
        raise LiveError(f"--publish {url}: the port must be a number from 1 to 65535") from None
    host = parts.hostname
    if scheme == "udp":
        if not host or not port:
            raise LiveError(f"--publish {url}: give udp://HOST:PORT")
        return _UdpPublisher(url, host, port)
    if scheme == "mqtt":
        topic = parts.path.lstrip("/")
        if not host or not topic:
            raise LiveError(f"--publish {url}: give mqtt://HOST[:PORT]/TOPIC")
        if "+" in topic or "#" in topic:
            raise LiveError(f"--publish {url}: a topic to publish on may not hold + or #")
        query = parse_qs(parts.query)
        qos = query.get("qos", ["0"])[-1]
        retain = query.get("retain", ["0"])[-1]
        if qos not in ("0", "1", "2") or retain not in ("0", "1") or set(query) - {"qos", "retain"}:
            raise LiveError(f"--publish {url}: the query may set qos=0|1|2 and retain=0|1 only")
        return _MqttPublisher(url, host, port or 1883, topic, int(qos), retain == "1")
    raise LiveError(f"--publish {url}: expected udp://HOST:PORT or mqtt://HOST[:PORT]/TOPIC")

