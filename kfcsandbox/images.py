"""The image host of the dishes (the deployment's image_host_prefix): `/menu/<name>.png` and
`/type/<name>.png` answer a picture drawn from the name, a plate on a coloured ground, so
that every dish looks different and no picture file is kept."""
import functools
import hashlib
import struct
import zlib

from werkzeug.wrappers import Response

SIZE = 160
CORS = {'Access-Control-Allow-Origin': '*'}


def _png(width, height, rows):
    """A PNG file of 8-bit RGB ``rows`` (bytes of width * 3 each)."""
    def chunk(kind, data):
        return struct.pack('>I', len(data)) + kind + data + struct.pack(
            '>I', zlib.crc32(kind + data) & 0xffffffff)
    raw = b''.join(b'\x00' + row for row in rows)
    return (b'\x89PNG\r\n\x1a\n'
            + chunk(b'IHDR', struct.pack('>IIBBBBB', width, height, 8, 2, 0, 0, 0))
            + chunk(b'IDAT', zlib.compress(raw, 6)) + chunk(b'IEND', b''))


@functools.lru_cache(maxsize=256)
def dish_picture(name):
    digest = hashlib.sha1(name.encode('utf-8')).digest()
    ground = bytes(200 + value % 56 for value in digest[:3])
    food = bytes(90 + value % 140 for value in digest[3:6])
    plate = b'\xff\xff\xff'
    centre, outer, inner = SIZE / 2, SIZE * 0.42, SIZE * 0.27
    rows = []
    for y in range(SIZE):
        row = bytearray()
        for x in range(SIZE):
            distance = ((x - centre) ** 2 + (y - centre) ** 2) ** 0.5
            row += food if distance < inner else plate if distance < outer else ground
        rows.append(bytes(row))
    return _png(SIZE, SIZE, rows)


class ImageHostService:
    name = 'images'

    def __init__(self, state):
        self.state = state

    def routes(self):
        return [('/menu/<path:name>', ['GET'], self.picture),
                ('/type/<path:name>', ['GET'], self.picture)]

    def picture(self, request, name):
        return Response(dish_picture(request.path), content_type='image/png',
                        headers=dict(CORS, **{'Cache-Control': 'public, max-age=86400'}))
