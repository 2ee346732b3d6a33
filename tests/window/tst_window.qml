import QtQuick
import QtTest

// The real window document, loaded offscreen, with its controller: what the
// window shows and hands over, and in which order its handlers call.
TestCase {
    id: testCase
    name: "Window"
    when: windowShown

    property var window: null
    property var qtftp: null

    function init() {
        fixture.clearSettings()
        createWindow()
    }

    // A window made from the settings store, shown and active, so that
    // shortcuts and typed keys reach it; keys typed before its first frame
    // are lost.
    function createWindow() {
        const component = Qt.createComponent("qrc:/main.qml")
        compare(component.status, Component.Ready, component.errorString())
        window = createTemporaryObject(component, testCase)
        qtftp = findChild(window, "qtftp")
        window.requestActivate()
        tryVerify(() => window.active)
        waitForRendering(window.contentItem)
    }

    // With nothing saved the first entry shows, and counts as a choice: it is
    // saved and handed to the controller. Every choice and every typed change
    // of the address is saved by the time it reaches the controller, and the
    // next window starts from what was saved.
    function test_choicesSavedAndRestored() {
        const entries = qtftp.ifsList
        const last = entries[entries.length - 1]
        verify(entries.length > 0, "this machine lists no IPv4 address")
        compare(qtftp.loadNetoworkIf() + " -- " + qtftp.localAddress, entries[0])

        findChild(window, "interfaceComboBox").currentIndex = -1
        fixture.clearSettings()
        const seen = []
        qtftp.localAddressChanged.connect(address => seen.push(qtftp.loadNetoworkIf() + " -- " + address))
        qtftp.remoteAddressChanged.connect(address => seen.push(address + "=" + qtftp.loadNetworkAddr()))
        findChild(window, "interfaceComboBox").currentIndex = entries.length - 1
        findChild(window, "addressField").forceActiveFocus()
        for (const key of "10.1")
            keyClick(key)
        compare(seen, [last, "1=1", "10=10", "10.=10.", "10.1=10.1"])

        // An entry of the saved interface shows, and its address goes over.
        createWindow()
        const restored = findChild(window, "interfaceComboBox").currentText.split(" -- ")
        compare(restored[0], last.split(" -- ")[0])
        compare(qtftp.localAddress, restored[1])
        compare(qtftp.remoteAddress, "10.1")
    }

    // From Start until the update ends the fields and Start are locked, and so
    // is the tool bar with its Open shortcut: a folder chosen mid-update would
    // change the list being sent. Start lists the folder again before it
    // starts, so a file added since the folder was chosen goes, here first.
    function test_updateLocksTheWindow() {
        const dialog = findChild(window, "openDialog")
        keySequence(StandardKey.Open)
        tryVerify(() => dialog.visible)
        dialog.selectedFolder = fixture.writeImage("7420BT-v1.0.bin")
        dialog.accept()
        tryVerify(() => findChild(window, "gridLayout").visible)
        fixture.writeImage("7420-v1.0.bin")
        qtftp.localAddress = "127.0.0.1"
        qtftp.remoteAddress = "127.0.0.1"
        qtftp.remotePort = fixture.silentDevicePort()
        verify(qtftp.remotePort > 0, "no loopback port to send to")
        let completed = false
        qtftp.updateCompleted.connect(() => completed = true)

        const start = findChild(window, "startButton")
        mouseClick(start)
        tryCompare(findChild(window, "statusLine"), "text", "Sending file 7420-v1.0.bin")
        tryCompare(findChild(window, "progressBar"), "to", 5)
        verify(!start.enabled)
        keySequence(StandardKey.Open)
        fixture.stopUpdate(qtftp)
        tryVerify(() => completed)
        verify(start.enabled && !dialog.visible)
        keySequence(StandardKey.Open)
        tryVerify(() => dialog.visible)
    }
}
