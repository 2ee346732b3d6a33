#!/usr/bin/python
# Copyright: Orvane <support@orvane.com>

from __future__ import (absolute_import, division, print_function)
__metaclass__ = type

DOCUMENTATION = r"""
module: swtx_update
short_description: Load firmware into Skyweave transmitters by TFTP
version_added: 1.1.0
description:
  - Runs C(swtxupdate) on the managed host. It uploads the firmware images of I(folder) to every transmitter in
    I(devices) in parallel, in the window's order, then the empty C(done) marker that completes the update.
  - Returns what C(swtxupdate) logged for each device and each file, including the SHA-256 of every image as sent.
  - Fails when any device fails, naming the devices, and still returns what every device got.
requirements:
  - C(swtxupdate) on the managed host (Debian package C(swtxupdater)).
options:
  folder:
    description: Folder on the managed host that holds the firmware images.
    type: path
    required: true
  devices:
    description:
      - Transmitters to update, each a host name or address with an optional C(:PORT) (default 69). An IPv6
        address with a port goes in brackets, as in C([fd00::21]:6969).
      - Must not be empty. The task fails on an empty list rather than let C(swtxupdate) update the address the
        window last saved on the managed host.
    type: list
    elements: str
    required: true
  interface:
    description: Local interface name or address to send from. Default is the one the window saved, else any.
    type: str
  retries:
    description:
      - Times to send a packet again when its reply does not come in time, each time waiting twice as long as
        before. Without it, none.
    type: int
  timeout:
    description: Milliseconds to wait for a reply before the first retry. Without it, 10000.
    type: int
  block_size:
    description:
      - Ask the device for blocks of this many bytes (8 to 65464). Without it, 512 and not asked.
      - A device that does not know the option answers without it, and the transfer goes on in 512-byte blocks.
    type: int
  window:
    description:
      - Ask the device for this many blocks in flight per acknowledgement (1 to 65535). Without it, one and not
        asked.
      - A device that does not know the option answers without it, and the transfer goes on in lock-step.
    type: int
  verify:
    description:
      - Read every delivered image back from the device and compare the bytes before the C(done) marker goes out.
      - Not every device allows reading back; one that refuses fails with C(Verify refused).
    type: bool
    default: false
attributes:
  check_mode:
    support: full
    description:
      - Runs C(swtxupdate --list --json) with the options and devices a real run would get, so that what C(swtxupdate)
        refuses (a bad device, an option out of range) fails here as it would in a real run.
      - Returns the files that would be sent, with their digests, and sends nothing.
  diff_mode:
    support: none
    description: No diff is shown.
author:
  - Orvane (support@orvane.com)
"""

EXAMPLES = r"""
- name: Update the site's transmitters and read every image back
  orvane.swtx.swtx_update:
    folder: /srv/firmware/7422-v3.2
    devices:
      - 10.0.0.21
      - 10.0.0.22
    interface: eth1
    retries: 3
    timeout: 2000
    verify: true
  register: update

- name: Keep the record of which image each transmitter received
  ansible.builtin.copy:
    content: "{{ update.devices | to_nice_json }}"
    dest: "/var/log/swtx/{{ inventory_hostname }}.json"
  delegate_to: localhost

- name: What would be sent
  orvane.swtx.swtx_update:
    folder: /srv/firmware/7422-v3.2
    devices: [10.0.0.21]
  check_mode: true
"""

RETURN = r"""
devices:
  description: What C(swtxupdate) logged, keyed by device as given in I(devices).
  returned: when not in check mode and swtxupdate ran
  type: dict
  sample:
    "10.0.0.21":
      result: true
      status: No Error
      files: 4
      delivered: 4
      time: "2026-12-06T16:41:19.907Z"
      transfers:
        - file: 7422-v3.2.bin
          kind: application
          size: 1048576
          sha256: 5f70bf18a086007016e948b04aed3b82103a36bea41755b6cddfaf10ace3c6ef
          sent: 1048576
          ms: 373
          blksize: 1428
          windowsize: 8
          verified: true
          outcome: delivered
          result: true
          status: No Error
          local: "10.0.0.5:42967"
          time: "2026-12-06T16:41:19.890Z"
  contains:
    result:
      description: Whether every file, the C(done) marker included, was delivered or bypassed.
      type: bool
    status:
      description: The device's final status text, C(No Error) on success.
      type: str
    files:
      description: Files in the update, the C(done) marker included.
      type: int
    delivered:
      description: Files delivered or bypassed.
      type: int
    time:
      description: When the device's update ended, in UTC (ISO 8601).
      type: str
    transfers:
      description: One entry per file that was attempted, in sending order; an update stops at the first failure.
      type: list
      elements: dict
      contains:
        file:
          description: File name as sent.
          type: str
        kind:
          description: C(application), C(other), or C(marker) for the C(done) marker.
          type: str
        size:
          description: Size of the file in bytes.
          type: int
        sha256:
          description: SHA-256 of the file as sent, in lower-case hex; null for a file that could not be read.
          type: str
        sent:
          description: Payload bytes sent.
          type: int
        ms:
          description: Milliseconds the transfer took.
          type: int
        blksize:
          description: Block size agreed with the device.
          type: int
        windowsize:
          description: Window size agreed with the device.
          type: int
        verified:
          description: Whether the image was read back from the device and matched.
          type: bool
        outcome:
          description:
            - C(delivered), C(bypassed) (an application image the device already runs), C(failed) or C(stopped).
            - With I(verify), a bypassed image is read back too, and fails unless the device holds it.
          type: str
        result:
          description: Whether the file was delivered or bypassed.
          type: bool
        status:
          description:
            - "Status text of the transfer. A bypass says what the device answered, as in
              C(bypassed: the device answered 3 Disk full)."
          type: str
        device_error:
          description: The code and text of the ERROR the device ended the upload with; null when it sent none.
          type: dict
          contains:
            code:
              description: The TFTP error code.
              type: int
            text:
              description: The device's text.
              type: str
        local:
          description: Local address and port the transfer was sent from.
          type: str
        time:
          description: When the transfer ended, in UTC (ISO 8601).
          type: str
files:
  description: In check mode, the files that would be sent, in sending order, the C(done) marker last.
  returned: in check mode
  type: list
  elements: dict
  sample:
    - {file: 7422-v3.2.bin, size: 1048576, kind: application,
       sha256: 5f70bf18a086007016e948b04aed3b82103a36bea41755b6cddfaf10ace3c6ef}
  contains:
    file:
      description: File name.
      type: str
    size:
      description: Size in bytes.
      type: int
    kind:
      description: C(application), C(other) or C(marker).
      type: str
    sha256:
      description: SHA-256 of the file, in lower-case hex; null for a file that cannot be read whole or sent.
      type: str
"""

import json
import os

from ansible.module_utils.basic import AnsibleModule

VALUE_OPTIONS = (
    ("interface", "--interface"),
    ("retries", "--retries"),
    ("timeout", "--timeout"),
    ("block_size", "--block-size"),
    ("window", "--window"),
)
# What a reply that does not have the expected shape raises while it is read.
MALFORMED = (ValueError, KeyError, TypeError, AttributeError)


def run_options(params):
    """swtxupdate's options, folder and devices, the same for a run and for its check."""
    options = []
    for name, flag in VALUE_OPTIONS:
        if params[name] is not None:
            options += [flag, str(params[name])]
    if params["verify"]:
        options.append("--verify")
    return options + ["--", params["folder"]] + params["devices"]


def exit_with_file_list(module, program):
    rc, out, err = module.run_command([program, "--list", "--json"] + run_options(module.params))
    if rc != 0:
        module.fail_json(msg=err.strip() or out.strip(), rc=rc)
    try:
        files = json.loads(out)["files"]
        # An update that would bypass every application image changes nothing,
        # but only the device knows whether it would.
        changed = any(file["kind"] != "marker" for file in files)
    except MALFORMED as error:
        module.fail_json(msg="swtxupdate listed no files (%s: %s)" % (type(error).__name__, error),
                         rc=rc, stdout=out, stderr=err)
    module.exit_json(changed=changed, files=files)


def read_log(path):
    devices = {}
    with open(path, encoding="utf-8") as log:
        for line in log:
            record = json.loads(line)
            device = devices.setdefault(record.pop("device"), {"transfers": []})
            if "file" in record:
                device["transfers"].append(record)
            else:
                device.update(record)
    return devices


def main():
    module = AnsibleModule(
        argument_spec=dict(
            folder=dict(type="path", required=True),
            devices=dict(type="list", elements="str", required=True),
            interface=dict(type="str"),
            retries=dict(type="int"),
            timeout=dict(type="int"),
            block_size=dict(type="int"),
            window=dict(type="int"),
            verify=dict(type="bool", default=False),
        ),
        supports_check_mode=True,
    )
    # Without a device swtxupdate takes the address the window saved on this
    # host, which is no transmitter the playbook named.
    if not module.params["devices"]:
        module.fail_json(msg="devices is empty: name the transmitters to update")
    program = module.get_bin_path("swtxupdate", required=True)
    if module.check_mode:
        exit_with_file_list(module, program)

    log = os.path.join(module.tmpdir, "swtxupdate.jsonl")
    rc, out, err = module.run_command([program, "--quiet", "--log", log] + run_options(module.params))
    # 0 and 1 are an update that ran; anything else is bad use or an interruption.
    if rc not in (0, 1):
        module.fail_json(msg=err.strip() or out.strip(), rc=rc)

    try:
        devices = read_log(log)
        changed = any(transfer["outcome"] == "delivered" and transfer["kind"] != "marker"
                      for device in devices.values() for transfer in device["transfers"])
    except (OSError,) + MALFORMED as error:
        module.fail_json(msg="cannot read swtxupdate's log (%s: %s)" % (type(error).__name__, error),
                         rc=rc, stdout=out, stderr=err)
    failed = [name for name in module.params["devices"] if not devices.get(name, {}).get("result")]
    if failed:
        reasons = ", ".join("%s (%s)" % (name, devices.get(name, {}).get("status", "not logged")) for name in failed)
        module.fail_json(msg="Update failed on " + reasons, changed=changed, devices=devices, rc=rc)
    module.exit_json(changed=changed, devices=devices)


if __name__ == "__main__":
    main()
