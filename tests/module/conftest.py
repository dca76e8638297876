"""Fixtures of the routeweave module tests."""
import pytest

from module_support import CONTROLLERS, ROOT, embed_controller, make_host


@pytest.fixture(scope="session")
def routeweave():
    import routeweave as module
    return module


@pytest.fixture(scope="session")
def decoded_sources():
    """Controller source stem -> the text its load function runs, made as the build makes it."""
    constants = embed_controller.load_deployment(embed_controller.deployment_path())
    return {stem: embed_controller.decoded_source(ROOT / "controllers" / f"{stem}.py", constants)
            for _, _, stem in CONTROLLERS}


@pytest.fixture
def host():
    return make_host()
