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

    // The device answers each request after 3 s, as one erasing its flash
    // does: the window's default wait outlasts it. A refusal before any data
    // counts as delivered for an application image only; any other ends the
    // update without the "done" marker.
    function test_update_data() {
        return [
            { tag: "application image refused", device: 0,
              statuses: ["Sending file 7420-R-v1.bin", "No Error", "Sending file 7420BT-v1 #2?%41.bin", "No Error", "Sending file done", "No Error"],
              stored: ["7420BT-v1 #2?%41.bin=7420BT-v1 #2?%41.bin", "done="] },
            { tag: "other image refused", device: 1,
              statuses: ["Sending file 7420-R-v1.bin", "No Error", "Sending file 7420BT-v1 #2?%41.bin", "Protocol Error: 0 Permission denied"],
              stored: ["7420-R-v1.bin=7420-R-v1.bin"] }
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
        findChild(window, "addressField").text = "127.0.0.1"
        qtftp.remotePort = fixture.devicePort(data.device)
        const start = findChild(window, "startButton")
        const seen = []
        qtftp.errorStringChanged.connect(() => seen.push((start.enabled || window.header.enabled ? "unlocked: " : "")
                                                         + findChild(window, "statusLine").text))
        let completed = 0
        qtftp.updateCompleted.connect(() => ++completed)

        mouseClick(start)
        tryCompare(findChild(window, "progressBar"), "to", 13)
        keySequence(StandardKey.Open)
        tryVerify(() => completed > 0, 30000)
        compare(seen, data.statuses)
        compare(fixture.stored(), data.stored)
        verify(completed === 1 && start.enabled && !dialog.visible)
        keySequence(StandardKey.Open)
        tryVerify(() => dialog.visible)
    }
}
