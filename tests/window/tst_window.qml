import QtQuick
import QtQuick.Controls
import QtTest
import com.orvane.SwTxDownloader 1.0

TestCase {
    id: testCase
    name: "Window"
    when: windowShown

    // A controller of its own, reading and writing the same settings store
    // as the window's.
    QTftp {
        id: store
    }

    property var window: null

    // Every test starts with a clean settings store and a window made from it.
    function init() {
        fixture.reset()
        createWindow()
    }

    function createWindow() {
        const component = Qt.createComponent("qrc:/main.qml")
        compare(component.status, Component.Ready, component.errorString())
        window = createTemporaryObject(component, testCase)
        verify(window)
        // Shortcuts and typed keys go to the active window, once it shows.
        window.requestActivate()
        tryVerify(() => window.active)
        waitForRendering(window.contentItem)
    }

    function child(name) {
        const found = findChild(window, name)
        verify(found, "no item named " + name)
        return found
    }

    function findItem(parent, predicate) {
        for (let i = 0; i < parent.children.length; ++i) {
            const item = parent.children[i]
            if (predicate(item))
                return item
            const inner = findItem(item, predicate)
            if (inner)
                return inner
        }
        return null
    }

    function verifyLogo(parent) {
        const logo = findItem(parent, item => item instanceof Image && String(item.source) === "qrc:/Orvane.png")
        verify(logo, "no logo")
        compare(logo.status, Image.Ready)
        return logo
    }

    function toolButton(text) {
        const button = findItem(window.header, item => item.action !== undefined && item.action.text === text)
        verify(button, "no tool button " + text)
        return button
    }

    function test_initialState() {
        compare(window.title, "Skyweave Transmitter Update Tool")
        compare(Qt.size(window.width, window.height), Qt.size(640, 280))
        verify(window.header.visible && window.header.enabled && window.footer.visible)
        compare(child("statusLine").text, "Open a folder to begin")
        verify(!child("gridLayout").visible && !child("openDialog").visible && !child("aboutDialog").visible)
        const progressBar = child("progressBar")
        compare([progressBar.from, progressBar.to, progressBar.value], [0, 1, 0])
        verifyLogo(window.header)
        verifyBindings("", "")
    }

    // With the given interface and address saved, or none: the combo box
    // shows the saved interface's first entry, or the first entry of all,
    // and that first selection counts as a choice: saved, and handed over.
    function verifyBindings(interfaceName, address) {
        verify(store.ifsList.length > 0, "this machine lists no IPv4 address")
        const qtftp = child("qtftp")
        const comboBox = child("interfaceComboBox")
        compare(comboBox.currentIndex, qtftp.savedInterfaceIndex())
        const expected = interfaceName === "" ? store.ifsList[0]
                                              : store.ifsList.find(e => e.startsWith(interfaceName + " -- "))
        compare(comboBox.currentText, expected)
        compare(qtftp.localAddress, expected.split(" -- ")[1])
        compare(store.loadNetoworkIf(), expected.split(" -- ")[0])
        compare(child("addressField").text, address)
        compare(qtftp.remoteAddress, address)
        compare(store.loadNetworkAddr(), address)
    }

    // For each interface saved in turn: the window made by init() stands in
    // for the first start, the one made now reads what was saved.
    function test_startupBindings() {
        for (const name of new Set(store.ifsList.map(entry => entry.split(" -- ")[0]))) {
            store.saveNetworkIf(name)
            store.saveNetworkAddr("device.example")
            createWindow()
            verifyBindings(name, "device.example")
        }
    }

    function test_openDialog_data() {
        return [
            { tag: "Open button", dialog: "openDialog", open: () => mouseClick(toolButton("Open")) },
            { tag: "Open shortcut", dialog: "openDialog", open: () => keySequence(StandardKey.Open) },
            { tag: "About button", dialog: "aboutDialog", open: () => mouseClick(toolButton("About")) },
            { tag: "About shortcut", dialog: "aboutDialog", open: () => keySequence(StandardKey.HelpContents) },
        ]
    }

    // Without the folder list model the folder dialog would log a line and
    // stay closed. The About dialog shows the logo, the version and the owner.
    function test_openDialog(data) {
        const dialog = child(data.dialog)
        data.open()
        tryVerify(() => dialog.visible, 5000, data.dialog + " did not open")
        if (data.dialog === "aboutDialog") {
            const logo = verifyLogo(dialog.contentItem)
            compare(Qt.size(logo.width, logo.height), Qt.size(249, 63))
            const lines = findItem(dialog.contentItem, item => item instanceof Label).text.split("\n")
            compare(lines[0], "Version 1.1.0.9.0.5")
            verify(lines[1].indexOf("Orvane") >= 0, lines[1])
        }
    }

    // A rejected dialog changes nothing; an accepted one lists the folder
    // (the controller logs the list it builds) and shows it. Each typed change
    // of the address, and each interface chosen, is saved by the time it
    // reaches the controller.
    function test_folderAddressAndInterface() {
        const dialog = child("openDialog")
        mouseClick(toolButton("Open"))
        tryVerify(() => dialog.visible)
        dialog.reject()
        tryVerify(() => !dialog.visible)
        verify(!child("gridLayout").visible)
        mouseClick(toolButton("Open"))
        tryVerify(() => dialog.visible)
        dialog.currentFolder = fixture.firmwareFolder
        dialog.selectedFolder = fixture.firmwareFolder
        fixture.takeDebugLines()
        dialog.accept()
        tryVerify(() => !dialog.visible && child("gridLayout").visible)
        compare(fixture.takeDebugLines(), ['QList("' + fixture.firmwareFolder + '/7420BT-v1.0.bin")', "dsda"])
        compare(child("selectedFolderLabel").text, String(fixture.firmwareFolder))

        const qtftp = child("qtftp")
        const field = child("addressField")
        const seen = []
        const record = address => seen.push([address, store.loadNetworkAddr()])
        qtftp.remoteAddressChanged.connect(record)
        field.forceActiveFocus()
        for (const key of "10.1")
            keyClick(key)
        qtftp.remoteAddressChanged.disconnect(record)
        compare(seen, [["1", "1"], ["10", "10"], ["10.", "10."], ["10.1", "10.1"]])

        const comboBox = child("interfaceComboBox")
        const loopback = comboBox.find("lo -- 127.0.0.1")
        verify(loopback >= 0, "no loopback entry in " + qtftp.ifsList)
        // Leave the loopback entry, whichever is selected, then pick it with
        // the keyboard as a user does.
        comboBox.currentIndex = -1
        fixture.reset()
        qtftp.localAddress = "0.0.0.0"
        comboBox.forceActiveFocus()
        for (let i = 0; i <= loopback; ++i)
            keyClick(Qt.Key_Down)
        compare(comboBox.currentIndex, loopback)
        compare(store.loadNetoworkIf(), "lo")
        compare(qtftp.localAddress, "127.0.0.1")
    }
}
