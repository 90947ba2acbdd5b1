"""The simulated device plugin through Python: its manager, registers, triggers and memory."""

import pytest

from pyvorn_device import ReturnCode, get_device_manager

ID, TRIGGER_COUNT, MEMORY_SIZE = 0x000, 0x008, 0x00C
SCRATCH0, SCRATCH1, LEDS = 0x010, 0x014, 0x020
PULSE, RESET, LINK = 0x0, 0x1, 0x2
OK, FAILED = ReturnCode.Success, ReturnCode.Failure


@pytest.fixture
def sim(sim_plugin):
    return get_device_manager(sim_plugin)


@pytest.fixture
def device(sim):
    return sim.create_device("")


def test_manager_lists_its_devices_and_options(sim, sim_plugin):
    assert [line.split()[0] for line in sim.list_devices().splitlines()] == ["sim0", "sim1", "sim2"]
    options = sim.get_device_options()
    assert "device=NAME" in options and "memory=BYTES" in options
    assert sim.location() == sim_plugin


def test_options_choose_the_device_and_its_memory(sim):
    device = sim.create_device(b"device=sim2, memory=2k")
    assert device.get_info() == (
        "sim2: simulated acquisition device, serial VS-0002, ID 0x56530102, "
        "2048 bytes of device memory"
    )
    assert (device.get_register(ID), device.get_register(MEMORY_SIZE)) == (0x5653_0102, 2048)
    assert sim.create_device(" \tsim1,, memory=0x10 ").get_register(MEMORY_SIZE) == 16


@pytest.mark.parametrize(
    ("options", "message"),
    [
        ("sim9", 'unknown device "sim9"; devices: sim0, sim1, sim2'),
        ("colour=red", 'unknown option "colour"; options: device=NAME, memory=BYTES'),
        ("memory=12q", 'option "memory": "12q" is not a size in bytes'),
        ("memory=65M", 'option "memory": "65M" is out of range (1 to 67108864 bytes)'),
        ("memory=0", 'option "memory": "0" is out of range'),
        ("sim0 device=sim1", 'option "device" given twice'),
        (b"caf\xe9", 'unknown device "caf\\xe9"'),
    ],
)
def test_bad_options_raise_value_error(sim, options, message):
    with pytest.raises(ValueError) as caught:
        sim.create_device(options)
    assert str(caught.value).startswith(message)


def test_staged_writes_take_effect_on_send_and_show_after_read(device):
    assert device.set_register(SCRATCH0, 0x1234, 0) == OK
    assert device.get_status().startswith("link: up; staged register writes: 1; trigger pulses: 0;")
    assert device.get_register_sync(SCRATCH0) == 0  # not sent yet
    assert device.send_registers() == OK
    assert device.get_register(SCRATCH0) == 0  # the readable copy is refreshed by read_registers
    assert device.read_registers() == OK
    assert device.get_register(SCRATCH0) == 0x1234
    assert device.set_register_sync(SCRATCH1, 5, 0) == OK
    assert device.get_register_sync(SCRATCH1) == 5


def test_writes_apply_in_order_through_masks_and_writable_bits(device):
    device.set_register(SCRATCH0, 0xAAAA_AAAA, 0)
    device.set_register(SCRATCH0, 0x0000_5555, 0x0000_FFFF)  # aux masks the bits to change
    device.set_register(LEDS, 0xFFFF_FFFF, 0)  # only 8 LEDs
    device.set_register_sync(SCRATCH1, 1, 0)
    assert device.get_register_sync(SCRATCH0) == 0xAAAA_5555
    assert device.get_register(LEDS) == 0xFF


def test_read_only_and_unmapped_registers_refuse_writes(device):
    for address in (ID, TRIGGER_COUNT, MEMORY_SIZE, 0x011, 0x120, 0x1FC, 0xFFFF_FFFC):
        assert device.set_register(address, 1, 0) == FAILED
    assert device.get_status().startswith("link: up; staged register writes: 0;")
    assert device.get_register_sync(ID) == 0x5653_0100
    assert device.get_register(0x1FC) == 0xFFFF_FFFF


def test_staging_is_bounded(device):
    assert all(device.set_register(SCRATCH0, i, 0) == OK for i in range(256))
    assert device.set_register(SCRATCH0, 256, 0) == FAILED
    assert device.send_registers() == OK
    assert device.get_register_sync(SCRATCH0) == 255


def test_trigger_selectors(device):
    assert device.trigger(PULSE, 3) == OK
    assert device.trigger(PULSE, 1) == OK
    assert device.get_register(TRIGGER_COUNT) == 0  # until the next read
    assert device.get_register_sync(TRIGGER_COUNT) == 4
    assert "; trigger pulses: 4;" in device.get_status()
    for address, selector in ((PULSE, 0), (PULSE, -1), (RESET, 2), (LINK, -1), (3, 0), (0x10, 1)):
        assert device.trigger(address, selector) == FAILED
    device.set_register_sync(SCRATCH0, 9, 0)
    device.set_register(SCRATCH1, 9, 0)
    assert device.trigger(RESET, 0) == OK
    assert device.get_status().startswith("link: up; staged register writes: 0; trigger pulses: 0;")
    assert device.get_register_sync(SCRATCH0) == 0
    assert device.get_register(TRIGGER_COUNT) == 0


def test_a_link_down_fails_transfers_and_keeps_staged_writes(device):
    assert device.trigger(LINK, 0) == OK
    assert device.set_register(SCRATCH0, 7, 0) == OK
    assert device.send_registers() == FAILED
    assert device.get_register_sync(SCRATCH0) is None
    assert device.trigger(PULSE, 1) == FAILED
    assert device.get_status().startswith("link: down; staged register writes: 1; trigger pulses: 0;")
    assert device.trigger(LINK, 1) == OK
    assert device.send_registers() == OK
    assert device.get_register_sync(SCRATCH0) == 7


def test_block_transfers_use_the_device_memory(sim):
    device = sim.create_device("memory=16")
    try:
        written = device.write(4, b"0123456789abcdefXYZ")
    except RuntimeError as error:
        if "not implemented yet" in str(error):
            pytest.skip("Device.write is not available yet")
        raise
    assert written == 12  # short at the end of the memory
    buffer = bytearray(20)
    assert device.read(0, buffer) == 16
    assert bytes(buffer) == b"\0\0\0\x000123456789ab\0\0\0\0"
    assert device.read(16, buffer) == 0
