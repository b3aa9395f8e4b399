"""Real photographs through the codec (sample images shipped with scikit-image)."""

import pytest

# Test extras that an interpreter may have no wheel for: without them this file skips.
pytest.importorskip("numpy")
import numpy as np

import image_model
import vak_orn_kernel as vok
from image_helpers import quantised

skimage_data = pytest.importorskip(
    "skimage.data", reason="scikit-image (a test extra) provides the sample photographs")

PHOTOS = ["astronaut", "chelsea", "coffee"]


def photo(name):
    pixels = np.ascontiguousarray(getattr(skimage_data, name)()[..., :3], dtype=np.uint8)
    return pixels.tobytes(), pixels.shape[1], pixels.shape[0]


@pytest.mark.parametrize("name", PHOTOS)
@pytest.mark.parametrize("depth", [2, 6])
def test_photo_roundtrip_is_lossless_at_threshold_zero(name, depth):
    data, width, height = photo(name)
    words, meta = vok.encode_quadtree(data, width, height, depth, 0.0)
    assert meta == (width, height, 512 if max(width, height) <= 512 else 1024, depth, 0)
    assert vok.decode_quadtree(words) == (quantised(data, depth), meta)


@pytest.mark.parametrize("name, threshold", [("chelsea", 200.0), ("coffee", 1500.0)])
def test_photo_matches_the_numpy_model(name, threshold):
    data, width, height = photo(name)
    words, meta = vok.encode_quadtree(data, width, height, 4, threshold)
    assert (words, meta) == image_model.encode(data, width, height, 4, threshold)
    assert vok.decode_quadtree(words) == image_model.decode(words)


def test_higher_thresholds_give_shorter_streams_and_coarser_pictures():
    data, width, height = photo("astronaut")
    exact = quantised(data, 5)
    previous_length, previous_error = None, -1.0
    for threshold in [0.0, 20.0, 200.0, 2000.0]:
        words, _ = vok.encode_quadtree(data, width, height, 5, threshold)
        pixels = np.frombuffer(vok.decode_quadtree(words)[0], dtype=np.uint8).astype(float)
        error = float(np.mean((pixels - np.frombuffer(exact, dtype=np.uint8)) ** 2))
        if previous_length is not None:
            assert len(words) < previous_length and error > previous_error
        previous_length, previous_error = len(words), error
