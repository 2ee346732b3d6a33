import QtQuick
import QtTest

// The real window document, loaded offscreen as the program serves it, with
// its controller: what the window shows, saves and hands over, and an update
// from Start to its end against the device the fixture plays on loopback.
TestCase {
    id: testCase
    name: "Window"
    when: windowShown

    property var window: null
    property var qtftp: null

    function init() {
        fixture.reset()
        createWindow()
    }

    // A window made from the settings store, shown and active, so that
    // shortcuts reach it.
    function createWindow() {
        const component = Qt.createComponent("qrc:/main.qml")
        compare(component.status, Component.Ready, component.errorString())
        window = createTemporaryObject(component, testCase)
        qtftp = findChild(window, "qtftp")
        window.requestActivate()
        tryVerify(() => window.active)
    }

    // The first status text; a choice and an address saved under the keys
    // that earlier versions read, and the next window starting from them.
    function test_choicesSavedAndRestored() {
        const last = qtftp.ifsList[qtftp.ifsList.length - 1]
        findChild(window, "interfaceComboBox").currentIndex = qtftp.ifsList.length - 1
        findChild(window, "addressField").text = "10.1"
        compare([findChild(window, "statusLine").text, fixture.setting("savedInterface") + " -- " + qtftp.localAddress,
                 fixture.setting("savedAddress"), qtftp.remoteAddress], ["Open a folder to begin", last, "10.1", "10.1"])
        createWindow()
        compare([findChild(window, "interfaceComboBox").currentText, qtftp.localAddress, qtftp.remoteAddress],
                [last, last.split(" -- ")[1], "10.1"])
    }

    // The first two devices answer each request after 3 s, as ones erasing
    // their flash do: the window's default wait outlasts it. A refusal before
    // any data counts as delivered for an application image only; any other
    // ends the update without the "done" marker. Each status shows with the
    // bar's value, which starts afresh for each file.
    function test_update_data() {
        const sending = "Sending file 7420-R-v1.bin: 0", other = "Sending file 7420BT-v1 #2?%41.bin: "
        return [
            // The address written in IPv6's mapped form is taken in the socket's IP version.
            { tag: "application image refused", device: 0, address: "::ffff:127.0.0.1", slow: true,
              statuses: [sending, "No Error: 0", other + "0", "No Error: 24", "Sending file done: 24", "No Error: 4"],
              stored: ["7420BT-v1 #2?%41.bin=7420BT-v1 #2?%41.bin", "done="] },
            { tag: "other image refused", device: 1, slow: true,
              statuses: [sending, "No Error: 17", other + "17", "Protocol Error: 0 Permission denied: 0"],
              stored: ["7420-R-v1.bin=7420-R-v1.bin"] },
            // An application image refused after its data did not arrive whole;
            // the bar shows how far the upload got.
            { tag: "refused after data", device: 2, statuses: [sending, "Protocol Error: 3 Disk full: 17"], stored: [] },
            { tag: "other IP version", address: "::1", stored: [],
              statuses: [sending, "could not resolve host name ::1 to an address of the local address's IP version: 0"] },
            // An address no interface holds: the socket's own words, and port 0.
            { tag: "bind failure", local: "192.0.2.1", statuses: ["The address is not available: 0"], stored: [] }
        ]
    }

    // Start lists the folder again, so an image added since it was chosen
    // goes, here first; a name that a URL would read as a query, a fragment
    // and an escape goes as it is. Until the update ends, every status the status line
    // shows finds the fields, Start and the tool bar locked, and the Open
    // shortcut too: a folder chosen mid-update would change the list being
    // sent.
    function test_update(data) {
        const dialog = findChild(window, "openDialog")
        dialog.open()
        dialog.selectedFolder = fixture.writeImage("7420BT-v1 #2?%41.bin")
        dialog.accept()
        fixture.writeImage("7420-R-v1.bin")
        findChild(window, "interfaceComboBox").currentIndex = qtftp.ifsList.indexOf("lo -- 127.0.0.1")
        findChild(window, "addressField").text = data.address || "127.0.0.1"
        qtftp.localAddress = data.local || qtftp.localAddress
        qtftp.localPort = 1234
        qtftp.remotePort = fixture.devicePort(data.device || 0)
        const start = findChild(window, "startButton")
        const seen = []
        qtftp.errorStringChanged.connect(() => seen.push((start.enabled || window.header.enabled ? "unlocked: " : "")
                                                         + findChild(window, "statusLine").text + ": " + qtftp.fileProgress))
        let completed = 0
        qtftp.updateCompleted.connect(() => ++completed)

        mouseClick(start)
        // A device that answers late leaves the time to try Open mid-update.
        if (data.slow) {
            tryCompare(findChild(window, "progressBar"), "to", 13)
            keySequence(StandardKey.Open)
        }
        tryVerify(() => completed > 0, 30000)
        compare(seen, data.statuses)
        compare(fixture.stored(), data.stored)
        verify(completed === 1 && start.enabled && !dialog.visible)
        compare(qtftp.localPort === 0, data.tag === "bind failure")
        keySequence(StandardKey.Open)
        tryVerify(() => dialog.visible)
    }
}
